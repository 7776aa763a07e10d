// Portable. Times written to files: milliseconds since 1970-01-01 00:00:00 UTC.
#pragma once

#include <cstdint>

namespace tolm {

// FILETIME values count 100 ns units since 1601; this many of them lie before 1970.
inline constexpr std::uint64_t kFiletimeTicksTo1970 = 116444736000000000ULL;

// Milliseconds since 1970 for a FILETIME value; 0 before 1970.
[[nodiscard]] constexpr std::uint64_t unix_ms_from_filetime(std::uint64_t ticks) noexcept {
  return ticks < kFiletimeTicksTo1970 ? 0 : (ticks - kFiletimeTicksTo1970) / 10000;
}
static_assert(unix_ms_from_filetime(kFiletimeTicksTo1970 - 1) == 0 &&
              unix_ms_from_filetime(kFiletimeTicksTo1970 + 10000) == 1);

}  // namespace tolm
