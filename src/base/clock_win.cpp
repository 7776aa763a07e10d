#include <windows.h>

#include "base/clock_win.h"

namespace tolm {

std::uint64_t now_unix_ms() noexcept {
  FILETIME ft{};
  GetSystemTimePreciseAsFileTime(&ft);
  return unix_ms_from_filetime((static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) |
                               ft.dwLowDateTime);
}

}  // namespace tolm
