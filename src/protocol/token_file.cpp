#include "protocol/token_file.h"

#include "base/text.h"

namespace tolm {
namespace {

bool is_hex_digit(char c) noexcept {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

std::string format_token(const TokenBytes& bytes) {
  constexpr char kDigits[] = "0123456789abcdef";
  std::string token;
  token.reserve(kMinTokenDigits);
  for (const std::uint8_t b : bytes) {
    token += kDigits[b >> 4];
    token += kDigits[b & 0x0F];
  }
  return token;
}

std::optional<std::string> accept_token_file(std::string_view bytes) {
  // Trimming decodes code points, so the rest of the file must be checked as UTF-8 first.
  if (!is_valid_utf8(bytes)) return std::nullopt;
  const std::string_view token = trim_white_space(bytes);
  if (token.size() < kMinTokenDigits) return std::nullopt;
  for (const char c : token) {
    if (!is_hex_digit(c)) return std::nullopt;
  }
  return std::string(token);
}

}  // namespace tolm
