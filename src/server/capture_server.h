// Windows only. The capture server: starts the capture thread and serves \\.\pipe\tolm-capture on
// the calling thread and on two more, a client at a time on each.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "base/handles.h"
#include "base/stop_flag.h"

namespace tolm {

// How long a connected client may take to send its request, and to read the whole response,
// before the server drops it and goes on with the next client. Only an authorized answer earns the
// long wait; a refusal is not worth holding the only instance for.
inline constexpr std::uint32_t kRequestWaitMs = 1000;
inline constexpr std::uint32_t kResponseDrainMs = 5000;
inline constexpr std::uint32_t kRefusalDrainMs = 200;

// How every instance of the capture pipe is made: byte mode, local clients only, and a security
// descriptor that gives the pipe to `owner_sid` (none when empty) and lets only SYSTEM,
// Administrators and `user_sid` open it.
struct PipeSettings {
  DWORD open_mode;
  DWORD pipe_mode;
  DWORD max_instances;
  DWORD out_buffer_bytes;
  DWORD in_buffer_bytes;
  DWORD default_timeout_ms;
  std::wstring security;  // SDDL
};
[[nodiscard]] PipeSettings capture_pipe_settings(std::string_view owner_sid,
                                                std::string_view user_sid = {});

// An instance made with these settings; empty when the system refuses it.
[[nodiscard]] UniqueFile create_pipe_instance(const char* name, const PipeSettings& settings);

// True when the pipe of `instance` (a server handle) belongs to SYSTEM, Administrators or this
// process's account: an instance of a name that someone else made first has their owner.
[[nodiscard]] bool serves_own_pipe(HANDLE instance);

// How many clients one server serves at once, each on a thread and a pipe instance of its own.
// The name allows four instances in all, whoever makes them: one is left for another server, as
// the service's next worker, which starts before the one it replaces ends.
inline constexpr std::uint32_t kServingThreads = 3;

// Returns only when `stop` is set or the capture thread has stopped, tested between clients.
void RunCaptureServer(StopFlag stop);

}  // namespace tolm
