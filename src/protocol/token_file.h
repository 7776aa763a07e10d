// Portable. The token file, capture.auth: what the helper writes into it and what it and its
// clients take from it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tolm {

// A token made by the helper has this many hex digits; a token file must hold at least as many.
inline constexpr std::size_t kMinTokenDigits = 64;
// A token made here comes from this many random bytes, two hex digits each.
inline constexpr std::size_t kTokenRandomBytes = 32;
static_assert(2 * kTokenRandomBytes == kMinTokenDigits);

using TokenBytes = std::array<std::uint8_t, kTokenRandomBytes>;

// The file the helper writes: 64 lowercase hex digits, high nibble first, bytes in buffer order,
// nothing else (no line end, no byte-order mark).
[[nodiscard]] std::string format_token(const TokenBytes& bytes);

// The token in the bytes of capture.auth: the whole file valid UTF-8, and what remains after
// trimming White_Space at both ends at least 64 ASCII hex digits of either case. Returns that
// trimmed text unchanged, or nothing when the file is not a token.
[[nodiscard]] std::optional<std::string> accept_token_file(std::string_view bytes);

}  // namespace tolm
