#include "service/session_supervisor_win.h"

#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "base/files.h"
#include "base/handles.h"
#include "base/system_error.h"
#include "base/threads.h"
#include "base/win_text.h"
#include "server/capture_server.h"
#include "base/locations.h"
#include "status/status_writer.h"

namespace tolm {

namespace {

// Suspended until it is in the supervisor's job.
constexpr DWORD kCreationFlags = CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED;
static_assert(kCreationFlags == 0x08000404);

LaunchResult failed(std::string_view step, DWORD error) {
  return {nullptr, std::string(step) + " " + std::to_string(error)};
}

class Win32Worker final : public WorkerProcess {
 public:
  explicit Win32Worker(UniqueHandle process) : process_(std::move(process)) {}

  std::optional<std::uint32_t> exit_code() override {
    DWORD code = 0;
    if (!GetExitCodeProcess(process_.get(), &code)) return std::nullopt;
    return code;
  }
  void terminate(std::uint32_t code) override { (void)TerminateProcess(process_.get(), code); }

  // A connection that sends nothing: its server answers it at once and goes on with the next.
  bool serves_pipe() override {
    const UniqueFile pipe(CreateFileA(kPipeName, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
    ULONG server = 0;
    return pipe && GetNamedPipeServerProcessId(pipe.get(), &server) &&
           server == GetProcessId(process_.get());
  }

 private:
  UniqueHandle process_;
};

// Unnamed, and its handle is not inherited: only this process can reach it. Closing its last
// handle, as the system does for a service that ends in any way, even killed, ends every worker
// in it; null where the system makes no such job.
UniqueHandle make_worker_job() {
  UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (job && !SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                      sizeof limits)) {
    job.reset();
  }
  return job;
}

class Win32SupervisorSystem final : public SupervisorSystem {
 public:
  Win32SupervisorSystem(const StopFlag& stop, const LaunchCalls& calls)
      : stop_(stop), calls_(calls), job_(make_worker_job()) {}

  std::uint32_t console_session() override { return calls_.console_session(); }
  LaunchResult launch_worker(std::uint32_t session) override {
    return tolm::launch_worker(session, calls_, job_.get());
  }
  void write_note(std::string_view note) override { write_service_status(note); }
  void start_fallback() override {
    // The thread holds its own copy of the flag; it is never joined, and ends with the process if
    // it has not seen the flag by then.
    start_detached_thread(RunCaptureServer, stop_);
  }
  void sleep_ms(std::uint32_t ms) override { Sleep(ms); }

 private:
  StopFlag stop_;
  LaunchCalls calls_;
  UniqueHandle job_;
};

}  // namespace

LaunchResult launch_worker(std::uint32_t session, const LaunchCalls& calls, HANDLE job) {
  const std::optional<std::wstring> exe = executable_path(calls.get_module_file_name);
  if (!exe) return {nullptr, system_error_text(GetLastError())};
  // Taken as text, so units that form no character become U+FFFD. Writable and NUL-terminated:
  // CreateProcessAsUserW may write into it.
  std::wstring command_line = to_wide("\"" + from_wide(*exe) + "\" --worker");

  // The owners cover the early returns; each token is also released explicitly right after the
  // call that needs it last. Releases keep the last-error code of the call that failed.
  HANDLE raw = nullptr;
  const BOOL opened = calls.open_process_token(GetCurrentProcess(), TOKEN_ALL_ACCESS, &raw);
  UniqueHandle own_token(opened ? raw : nullptr);
  if (!opened) return failed("OpenProcessToken", GetLastError());

  raw = nullptr;
  const BOOL duplicated = calls.duplicate_token_ex(own_token.get(), MAXIMUM_ALLOWED, nullptr,
                                                   SecurityImpersonation, TokenPrimary, &raw);
  own_token.reset();
  UniqueHandle primary(duplicated ? raw : nullptr);
  if (!duplicated) return failed("DuplicateTokenEx", GetLastError());

  // Needs SeTcbPrivilege: without it every launch fails here.
  DWORD session_id = session;
  if (!calls.set_token_information(primary.get(), TokenSessionId, &session_id,
                                   sizeof session_id)) {
    return failed("SetTokenInformation TokenSessionId", GetLastError());
  }

  wchar_t desktop[] = L"winsta0\\default";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.lpDesktop = desktop;
  PROCESS_INFORMATION info{};
  const BOOL created =
      calls.create_process_as_user(primary.get(), nullptr, command_line.data(), nullptr, nullptr,
                                   FALSE, kCreationFlags, nullptr, nullptr, &startup, &info);
  primary.reset();
  if (!created) return failed("CreateProcessAsUserW", GetLastError());

  UniqueProcess worker(info);
  // A system that refuses (the service in a job that allows no other) leaves the worker untied
  // rather than not started.
  if (job != nullptr) (void)AssignProcessToJobObject(job, worker.process.get());
  if (ResumeThread(worker.thread.get()) == static_cast<DWORD>(-1)) {
    const DWORD error = GetLastError();
    (void)TerminateProcess(worker.process.get(), kTerminatedExitCode);
    return failed("ResumeThread", error);
  }
  worker.thread.reset();
  return {std::make_unique<Win32Worker>(std::move(worker.process)), {}};
}

void run_session_supervisor(const StopFlag& stop) { run_session_supervisor(stop, LaunchCalls{}); }

void run_session_supervisor(const StopFlag& stop, const LaunchCalls& calls) {
  Win32SupervisorSystem system(stop, calls);
  SessionSupervisor(system).run(stop);
}

}  // namespace tolm
