// Windows only. The session supervisor on Win32: the worker launch, and the loop as the service
// runs it.
#pragma once

#include <windows.h>

#include <cstdint>

#include "base/stop_flag.h"
#include "service/session_supervisor.h"

namespace tolm {

// The calls a launch makes, the real ones by default. A test replaces one to make it fail, which
// Wine cannot do for a session change, or to see what it was given.
struct LaunchCalls {
  decltype(&::GetModuleFileNameW) get_module_file_name = &::GetModuleFileNameW;
  decltype(&::OpenProcessToken) open_process_token = &::OpenProcessToken;
  decltype(&::DuplicateTokenEx) duplicate_token_ex = &::DuplicateTokenEx;
  decltype(&::SetTokenInformation) set_token_information = &::SetTokenInformation;
  decltype(&::CreateProcessAsUserW) create_process_as_user = &::CreateProcessAsUserW;
  // Asked by the loop, not the launch: Wine has one session, whose change a test plays.
  decltype(&::WTSGetActiveConsoleSessionId) console_session = &::WTSGetActiveConsoleSessionId;
};

// Starts this executable with --worker in `session`, on winsta0\default, under this process's
// token moved into that session, and in `job` (when given) before it runs. Every handle taken on
// the way is released on every path.
[[nodiscard]] LaunchResult launch_worker(std::uint32_t session, const LaunchCalls& calls = {},
                                         HANDLE job = nullptr);

// The service main thread's part between its running and stopped reports. Returns once `stop` is
// seen and the worker, if any, has been terminated.
void run_session_supervisor(const StopFlag& stop);
void run_session_supervisor(const StopFlag& stop, const LaunchCalls& calls);

}  // namespace tolm
