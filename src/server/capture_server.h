// The capture server: starts the capture thread and serves \\.\pipe\tolm-capture on the calling
// thread, one client at a time. Windows only.
#pragma once

#include <cstdint>

#include "base/stop_flag.h"

namespace tolm {

// How long a connected client may take to send its request, and to read the whole response,
// before the server drops it and goes on with the next client.
inline constexpr std::uint32_t kRequestWaitMs = 2000;
inline constexpr std::uint32_t kResponseDrainMs = 5000;

// Returns only when `stop` is set or the capture thread has stopped, tested between clients.
void RunCaptureServer(StopFlag stop);

}  // namespace tolm
