// Windows only. The system clock.
#pragma once

#include <cstdint>

#include "base/clock.h"

namespace tolm {

// GetSystemTimePreciseAsFileTime in milliseconds since 1970.
[[nodiscard]] std::uint64_t now_unix_ms() noexcept;

}  // namespace tolm
