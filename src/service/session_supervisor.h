// Portable. Keeps one worker copy of the program running in the console session, for the
// service; the system comes in through `SupervisorSystem`.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/stop_flag.h"

namespace tolm {

inline constexpr std::uint32_t kPollMs = 500;
inline constexpr std::uint32_t kFailedLaunchDelayMs = 2000;
inline constexpr std::uint32_t kNoConsoleSession = 0xFFFFFFFF;
inline constexpr std::uint32_t kSessionWithoutConsole = 1;
inline constexpr std::uint32_t kStillActive = 259;
inline constexpr std::uint32_t kTerminatedExitCode = 0;
// A worker replaced on a session change serves until its successor does, looked at this often, but
// no longer than the bound: the pipe's name is never left for someone else to take.
inline constexpr std::uint32_t kHandoverPollMs = 50;
inline constexpr std::uint32_t kHandoverMs = 10000;

// A launched worker process. Destroying it closes the handle and leaves the process as it is.
class WorkerProcess {
 public:
  virtual ~WorkerProcess() = default;
  // The exit code (kStillActive while it runs), or nothing when the query fails.
  [[nodiscard]] virtual std::optional<std::uint32_t> exit_code() = 0;
  // Asks the system to end the process with `code`; does not wait. Harmless once it has ended.
  virtual void terminate(std::uint32_t code) = 0;
  // True when a client of the capture pipe can reach this process's server.
  [[nodiscard]] virtual bool serves_pipe() = 0;
};

// One launch attempt: a worker, or else the text that says which step failed and why.
struct LaunchResult {
  std::unique_ptr<WorkerProcess> worker;
  std::string error;
};

// What the supervision loop asks of the system. Production uses the Win32 one
// (session_supervisor_win.h); tests play the system's part.
class SupervisorSystem {
 public:
  virtual ~SupervisorSystem() = default;
  // The session attached to the physical console, kNoConsoleSession when there is none.
  [[nodiscard]] virtual std::uint32_t console_session() = 0;
  [[nodiscard]] virtual LaunchResult launch_worker(std::uint32_t session) = 0;
  // The note of the service's status file.
  virtual void write_note(std::string_view note) = 0;
  // The capture server in this process, on a detached thread, with the run's stop flag.
  virtual void start_fallback() = 0;
  virtual void sleep_ms(std::uint32_t ms) = 0;
};

class SessionSupervisor {
 public:
  explicit SessionSupervisor(SupervisorSystem& system) : system_(system) {}

  // Supervises until `stop` is seen at the top of a pass, then terminates the worker if there is
  // one and returns. The fallback starts at most once per call.
  void run(const StopFlag& stop);

 private:
  // Ends `outgoing` once `incoming` serves the pipe, has ended, or the bound has passed.
  void hand_over(WorkerProcess& outgoing, WorkerProcess& incoming, const StopFlag& stop);

  SupervisorSystem& system_;
};

}  // namespace tolm
