#include "service/session_supervisor.h"

#include <utility>

namespace tolm {

void SessionSupervisor::run(const StopFlag& stop) {
  std::unique_ptr<WorkerProcess> worker;
  std::uint32_t worker_session = 0;
  bool fallback_started = false;

  while (!stop.is_set()) {
    std::uint32_t session = system_.console_session();
    // During a session switch no session is attached; the first interactive one is the best guess.
    if (session == kNoConsoleSession) session = kSessionWithoutConsole;

    if (worker) {
      if (worker->exit_code() == kStillActive && session == worker_session) {
        system_.sleep_ms(kPollMs);
        continue;
      }
      // Ended, unknown, or in a session nobody looks at: replace it without delay.
      worker->terminate(kTerminatedExitCode);
      worker.reset();
    }

    LaunchResult launched = system_.launch_worker(session);
    if (launched.worker) {
      worker = std::move(launched.worker);
      worker_session = session;
      system_.write_note("worker session=" + std::to_string(session));
      system_.sleep_ms(kPollMs);
    } else {
      system_.write_note("spawn failed: " + launched.error);
      // Someone should serve the pipe while launches fail; one server is enough for the run.
      if (!fallback_started) system_.start_fallback();
      fallback_started = true;
      system_.sleep_ms(kFailedLaunchDelayMs);
    }
  }

  if (worker) {
    worker->terminate(kTerminatedExitCode);
    worker.reset();
  }
}

}  // namespace tolm
