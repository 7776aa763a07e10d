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

    // A worker in a session nobody looks at any more still holds the pipe's name: it goes once its
    // successor serves. One that has ended, or cannot be asked, is replaced without delay.
    std::unique_ptr<WorkerProcess> outgoing;
    if (worker) {
      const bool running = worker->exit_code() == kStillActive;
      if (running && session == worker_session) {
        system_.sleep_ms(kPollMs);
        continue;
      }
      if (running) {
        outgoing = std::exchange(worker, nullptr);
      } else {
        worker->terminate(kTerminatedExitCode);
        worker.reset();
      }
    }

    LaunchResult launched = system_.launch_worker(session);
    if (launched.worker) {
      worker = std::move(launched.worker);
      worker_session = session;
      system_.write_note("worker session=" + std::to_string(session));
      if (outgoing) hand_over(*outgoing, *worker, stop);
      outgoing.reset();
      system_.sleep_ms(kPollMs);
    } else {
      if (outgoing) outgoing->terminate(kTerminatedExitCode);
      outgoing.reset();
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

void SessionSupervisor::hand_over(WorkerProcess& outgoing, WorkerProcess& incoming,
                                  const StopFlag& stop) {
  for (std::uint32_t waited = 0; waited < kHandoverMs && !stop.is_set();
       waited += kHandoverPollMs) {
    if (incoming.serves_pipe() || incoming.exit_code() != kStillActive) break;
    system_.sleep_ms(kHandoverPollMs);
  }
  outgoing.terminate(kTerminatedExitCode);
}

}  // namespace tolm
