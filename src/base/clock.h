// Times written to files: milliseconds since 1970-01-01 00:00:00 UTC.
#pragma once

#include <cstdint>

namespace tolm {

// Milliseconds since 1970 for a FILETIME value (100 ns units since 1601); 0 before 1970.
[[nodiscard]] constexpr std::uint64_t unix_ms_from_filetime(std::uint64_t ticks) noexcept {
  constexpr std::uint64_t kTicksTo1970 = 116444736000000000ULL;
  return ticks < kTicksTo1970 ? 0 : (ticks - kTicksTo1970) / 10000;
}

// The system clock (GetSystemTimePreciseAsFileTime) in milliseconds since 1970. Windows only.
[[nodiscard]] std::uint64_t now_unix_ms() noexcept;

}  // namespace tolm
