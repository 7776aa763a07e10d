// Portable. How the helper keeps the access token in capture.auth: which token to use, and the
// seed it falls back on when the system has no randomness.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/token_file.h"

namespace tolm {

// The clock as nanoseconds since 1970 (0 before 1970), a 128-bit number as 16 little-endian
// bytes, from a FILETIME value (100 ns units since 1601).
[[nodiscard]] std::array<std::uint8_t, 16> nanoseconds_since_1970(std::uint64_t filetime) noexcept;

// Used only when the system random generator fails: byte i is XORed with the clock's byte
// i mod 16 and with the low 8 bits of (i + 1) * process_id. Far weaker than real randomness.
void mix_fallback_seed(TokenBytes& bytes, std::uint64_t filetime,
                       std::uint32_t process_id) noexcept;

// What a read of capture.auth found: its bytes; or none, either because nothing is there
// (`missing`) or because what is there could not be read (someone else holds it open).
struct TokenFileRead {
  std::optional<std::string> bytes;
  bool missing = false;
};

// The token to use, or `make` when a new one must be made and stored; `missing`: where there is
// no file (rather than over one that holds no token).
struct TokenChoice {
  std::string token;
  bool make = false;
  bool missing = false;
};

// Chooses from `read_file`: the token the file holds; a file that is there but holds no token is
// read once more after `pause()`, since a program rewriting it in place leaves it empty for a
// moment. A new token is made only for a file that is missing, or that holds no token twice. A file
// that cannot be read is not the helper's to replace: `last`, the token last read or made, stays
// in use (empty, which authorizes nobody, when there is none yet).
[[nodiscard]] TokenChoice choose_token(const std::function<TokenFileRead()>& read_file,
                                       const std::function<void()>& pause, std::string_view last);

}  // namespace tolm
