#include "base/text.h"

namespace tolm {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point at `pos`. On success returns the code point and advances `pos` past it;
// on failure advances `pos` past the maximal subpart of an ill-formed sequence (at least one byte)
// and returns kInvalid. The byte ranges are those of the Unicode table of well-formed sequences, so
// the bytes that are skipped are exactly one "maximal subpart" each.
constexpr char32_t kInvalid = 0xFFFFFFFF;

char32_t decode_one(std::string_view s, std::size_t& pos) noexcept {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char b0 = byte(pos);
  if (b0 < 0x80) {
    ++pos;
    return b0;
  }
  std::size_t length = 0;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  char32_t cp = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    ++pos;
    return kInvalid;
  }
  std::size_t i = pos + 1;
  for (std::size_t k = 1; k < length; ++k, ++i) {
    if (i >= s.size()) {
      pos = i;
      return kInvalid;
    }
    const unsigned char b = byte(i);
    const unsigned char low = k == 1 ? lo : 0x80;
    const unsigned char high = k == 1 ? hi : 0xBF;
    if (b < low || b > high) {
      pos = i;
      return kInvalid;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  pos = i;
  return cp;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) noexcept {
  for (std::size_t pos = 0; pos < bytes.size();) {
    if (decode_one(bytes, pos) == kInvalid) return false;
  }
  return true;
}

std::string decode_utf8_lossy(std::string_view bytes) {
  if (is_valid_utf8(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + 8);
  for (std::size_t pos = 0; pos < bytes.size();) {
    const char32_t cp = decode_one(bytes, pos);
    append_utf8(out, cp == kInvalid ? kReplacement : cp);
  }
  return out;
}

std::u16string utf8_to_utf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  for (std::size_t pos = 0; pos < utf8.size();) {
    char32_t cp = decode_one(utf8, pos);
    if (cp == kInvalid) cp = kReplacement;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

std::string utf16_to_utf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    char32_t cp = utf16[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = kReplacement;
    }
    append_utf8(out, cp);
  }
  return out;
}

bool is_white_space(char32_t c) noexcept {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

std::string_view trim_white_space(std::string_view text) noexcept {
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t next = begin;
    const char32_t cp = decode_one(text, next);
    if (cp == kInvalid || !is_white_space(cp)) break;
    begin = next;
  }
  // From the back: step over continuation bytes to the lead byte of the last code point.
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t lead = end - 1;
    while (lead > begin && (static_cast<unsigned char>(text[lead]) & 0xC0) == 0x80) --lead;
    std::size_t next = lead;
    const char32_t cp = decode_one(text, next);
    if (cp == kInvalid || next != end || !is_white_space(cp)) break;
    end = lead;
  }
  return text.substr(begin, end - begin);
}

bool parse_unsigned(std::string_view text, unsigned long long max,
                    unsigned long long& value) noexcept {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return false;
  unsigned long long v = 0;
  for (const char ch : text) {
    if (ch < '0' || ch > '9') return false;
    const unsigned digit = static_cast<unsigned>(ch - '0');
    if (v > (max - digit) / 10) return false;
    v = v * 10 + digit;
  }
  value = v;
  return true;
}

std::string without_control_characters(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte == 0x7F) continue;
    // U+0080 to U+009F are C2 80 to C2 9F.
    const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
      ++i;
      continue;
    }
    out += text[i];
  }
  return out;
}

}  // namespace tolm
