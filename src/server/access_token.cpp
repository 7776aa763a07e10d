#include "server/access_token.h"

#include "base/clock.h"

namespace tolm {

TokenChoice choose_token(const std::function<TokenFileRead()>& read_file,
                         const std::function<void()>& pause, std::string_view last) {
  TokenFileRead read = read_file();
  for (int look = 0; look < 2 && read.bytes; ++look) {
    if (std::optional<std::string> token = accept_token_file(*read.bytes)) return {*token, false};
    if (look == 0) {
      pause();
      read = read_file();
    }
  }
  if (read.bytes || read.missing) return {{}, true, !read.bytes};
  return {std::string(last), false};
}

std::array<std::uint8_t, 16> nanoseconds_since_1970(std::uint64_t filetime) noexcept {
  std::array<std::uint8_t, 16> out{};
  if (filetime < kFiletimeTicksTo1970) return out;
  // Ticks times 100 needs up to 71 bits; multiply the 32-bit halves so no 128-bit type is needed.
  const std::uint64_t ticks = filetime - kFiletimeTicksTo1970;
  const std::uint64_t low_product = (ticks & 0xFFFFFFFFULL) * 100;
  const std::uint64_t high_product = (ticks >> 32) * 100;
  const std::uint64_t low = ticks * 100;
  const std::uint64_t high = (high_product + (low_product >> 32)) >> 32;
  for (int i = 0; i < 8; ++i) {
    out[i] = static_cast<std::uint8_t>(low >> (8 * i));
    out[8 + i] = static_cast<std::uint8_t>(high >> (8 * i));
  }
  return out;
}

void mix_fallback_seed(TokenBytes& bytes, std::uint64_t filetime,
                       std::uint32_t process_id) noexcept {
  const std::array<std::uint8_t, 16> clock = nanoseconds_since_1970(filetime);
  for (std::uint32_t i = 0; i < bytes.size(); ++i) {
    // Unsigned wrap-around keeps the low 8 bits of the full product.
    const std::uint32_t spread = (i + 1) * process_id;
    bytes[i] ^= static_cast<std::uint8_t>(clock[i % 16] ^ (spread & 0xFF));
  }
}

}  // namespace tolm
