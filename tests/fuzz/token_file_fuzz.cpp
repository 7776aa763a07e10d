// The token-file rule on arbitrary bytes: anything accepted is at least 64 hex digits, appears in
// the input as it stands, and only White_Space was cut from around it.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/text.h"
#include "protocol/token_file.h"

namespace {

void check(std::string_view bytes) {
  const auto token = tolm::accept_token_file(bytes);
  if (!token) {
    // A rejected valid file must not become a token by trimming it once more.
    if (tolm::is_valid_utf8(bytes) && tolm::accept_token_file(tolm::trim_white_space(bytes))) {
      std::abort();
    }
    return;
  }
  if (token->size() < tolm::kMinTokenDigits) std::abort();
  for (const char c : *token) {
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex) std::abort();
  }
  const std::size_t at = bytes.find(*token);
  if (at == std::string_view::npos) std::abort();
  if (!tolm::trim_white_space(bytes.substr(0, at)).empty()) std::abort();
  if (!tolm::trim_white_space(bytes.substr(at + token->size())).empty()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  check(bytes);
  // Random bytes are seldom 64 hex digits; around a valid token the accepting side gets reached.
  const std::string digits(tolm::kMinTokenDigits, 'c');
  check(digits + std::string(bytes));
  check(std::string(bytes) + digits);
  return 0;
}
