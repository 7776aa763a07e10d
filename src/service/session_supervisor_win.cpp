#include "service/session_supervisor_win.h"

#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "base/handles.h"
#include "base/system_error.h"
#include "base/win_text.h"
#include "server/capture_server.h"
#include "status/status_writer.h"

namespace tolm {

namespace {

// Suspended until it is in the supervisor's job.
constexpr DWORD kCreationFlags = CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED;
static_assert(kCreationFlags == 0x08000404);
// Past the longest path the system allows (32767 units and the terminator).
constexpr std::size_t kMaxPathBuffer = 64 * 1024;

// A call's result and its last-error code, taken at once so that no release in between (each
// CloseHandle sets the last error too) can overwrite it.
struct Outcome {
  bool ok;
  DWORD error;
};
Outcome outcome_of(BOOL result) { return {result != FALSE, result != FALSE ? 0 : GetLastError()}; }

LaunchResult failed(std::string_view step, DWORD error) {
  return {nullptr, std::string(step) + " " + std::to_string(error)};
}

// This executable's full path, or the system's text for why there is none.
struct OwnPath {
  std::wstring path;
  std::string error;
};
OwnPath own_path(const LaunchCalls& calls) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n =
        calls.get_module_file_name(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {{}, system_error_text(GetLastError())};
    if (n < buffer.size()) {
      buffer.resize(n);
      return {std::move(buffer), {}};
    }
    // A path that fills the buffer may have been cut.
    if (buffer.size() >= kMaxPathBuffer) return {{}, system_error_text(ERROR_INSUFFICIENT_BUFFER)};
    buffer.resize(buffer.size() * 2);
  }
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

  std::uint32_t console_session() override { return WTSGetActiveConsoleSessionId(); }
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
  OwnPath exe = own_path(calls);
  if (!exe.error.empty()) return {nullptr, std::move(exe.error)};
  // Taken as text, so units that form no character become U+FFFD. Writable and NUL-terminated:
  // CreateProcessAsUserW may write into it.
  std::wstring command_line = to_wide("\"" + from_wide(exe.path) + "\" --worker");

  // The owners cover the early returns; each token is also released explicitly right after the
  // call that needs it last.
  HANDLE raw = nullptr;
  const Outcome opened =
      outcome_of(calls.open_process_token(GetCurrentProcess(), TOKEN_ALL_ACCESS, &raw));
  UniqueHandle own_token(opened.ok ? raw : nullptr, calls.close_handle);
  if (!opened.ok) return failed("OpenProcessToken", opened.error);

  raw = nullptr;
  const Outcome duplicated = outcome_of(calls.duplicate_token_ex(
      own_token.get(), MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenPrimary, &raw));
  own_token.reset();
  UniqueHandle primary(duplicated.ok ? raw : nullptr, calls.close_handle);
  if (!duplicated.ok) return failed("DuplicateTokenEx", duplicated.error);

  // Needs SeTcbPrivilege: without it every launch fails here.
  DWORD session_id = session;
  const Outcome moved = outcome_of(
      calls.set_token_information(primary.get(), TokenSessionId, &session_id, sizeof session_id));
  if (!moved.ok) return failed("SetTokenInformation TokenSessionId", moved.error);

  wchar_t desktop[] = L"winsta0\\default";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.lpDesktop = desktop;
  PROCESS_INFORMATION process{};
  const Outcome created = outcome_of(
      calls.create_process_as_user(primary.get(), nullptr, command_line.data(), nullptr, nullptr,
                                   FALSE, kCreationFlags, nullptr, nullptr, &startup, &process));
  primary.reset();
  if (!created.ok) return failed("CreateProcessAsUserW", created.error);

  UniqueHandle worker(process.hProcess, calls.close_handle);
  UniqueHandle thread(process.hThread, calls.close_handle);
  // A system that refuses (the service in a job that allows no other) leaves the worker untied
  // rather than not started.
  if (job != nullptr) (void)AssignProcessToJobObject(job, worker.get());
  if (ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
    const DWORD error = GetLastError();
    (void)TerminateProcess(worker.get(), kTerminatedExitCode);
    return failed("ResumeThread", error);
  }
  thread.reset();
  return {std::make_unique<Win32Worker>(std::move(worker)), {}};
}

void run_session_supervisor(const StopFlag& stop) { run_session_supervisor(stop, LaunchCalls{}); }

void run_session_supervisor(const StopFlag& stop, const LaunchCalls& calls) {
  Win32SupervisorSystem system(stop, calls);
  SessionSupervisor(system).run(stop);
}

}  // namespace tolm
