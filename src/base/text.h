// Portable. Text rules shared by every subsystem: UTF-8 inside the program, UTF-16 at the Win32
// boundary, trimming by the Unicode White_Space property.
#pragma once

#include <string>
#include <string_view>

namespace tolm {

// 'A' to 'Z' as 'a' to 'z'; every other byte as it is.
[[nodiscard]] constexpr char ascii_lower(char c) noexcept {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// True when `bytes` is well-formed UTF-8 (no surrogates, no overlong forms, nothing above
// U+10FFFF).
[[nodiscard]] bool is_valid_utf8(std::string_view bytes) noexcept;

// Decodes `bytes` as UTF-8, replacing each maximal invalid subsequence by one U+FFFD.
[[nodiscard]] std::string decode_utf8_lossy(std::string_view bytes);

// UTF-16 made from UTF-8; invalid input is first decoded with replacement.
[[nodiscard]] std::u16string utf8_to_utf16(std::string_view utf8);

// UTF-8 made from UTF-16; each unpaired surrogate becomes U+FFFD.
[[nodiscard]] std::string utf16_to_utf8(std::u16string_view utf16);

// True for the code points of the White_Space property: TAB, LF, VT, FF, CR, space, U+0085, U+00A0,
// U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
[[nodiscard]] bool is_white_space(char32_t c) noexcept;

// `text` (valid UTF-8) without leading and trailing White_Space characters.
[[nodiscard]] std::string_view trim_white_space(std::string_view text) noexcept;

// `text` (valid UTF-8) without its control characters (U+0000 to U+001F, U+007F to U+009F): a
// name the system hands over may hold line breaks, which would break a one-line file.
[[nodiscard]] std::string without_control_characters(std::string_view text);

// Parses an unsigned decimal number: an optional single '+', then one or more ASCII digits and
// nothing else. Fails on anything else or when the value does not fit in `max`.
[[nodiscard]] bool parse_unsigned(std::string_view text, unsigned long long max,
                                  unsigned long long& value) noexcept;

}  // namespace tolm
