// The Win32 session supervisor under Wine: real launches of this very program as the worker, and
// a recording seam over the launch's calls, which also makes fail what Wine would not refuse.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <thread>

#include "base/files.h"
#include "base/handles.h"
#include "base/win_text.h"
#include "client/pipe_client.h"
#include "service/session_supervisor_win.h"
#include "status/status_writer.h"

namespace tolm {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The worker's exit code when it found exactly the command line and desktop a launch gives it.
constexpr DWORD kWorkerSawItsLaunch = 42;
// Set to "stay" in the environment a worker inherits, it waits to be terminated.
constexpr wchar_t kModeVariable[] = L"TOLM_TEST_WORKER";
const std::string kToken(64, 'c');

std::wstring own_path() {
  std::wstring path(MAX_PATH, L'\0');
  path.resize(GetModuleFileNameW(nullptr, path.data(), MAX_PATH));
  return path;
}

int run_as_worker() {
  STARTUPINFOW startup{};
  GetStartupInfoW(&startup);
  const bool desktop =
      startup.lpDesktop != nullptr && std::wstring_view(startup.lpDesktop) == L"winsta0\\default";
  const bool line = GetCommandLineW() == L"\"" + own_path() + L"\" --worker";
  if (!desktop || !line) return 10 + desktop + 2 * line;  // which of the two was wrong
  wchar_t mode[8] = {};
  if (GetEnvironmentVariableW(kModeVariable, mode, 8) != 0 && std::wstring_view(mode) == L"stay") {
    Sleep(60000);
  }
  return kWorkerSawItsLaunch;
}

// Plays the launch's calls, forwarding to the real ones unless told to fail one, and records in
// order what each was given, with the handles named by the role they were made for.
struct Recorder {
  std::vector<std::string> events;
  std::map<HANDLE, std::string> names;
  std::string failing;  // the call that fails, with `failing_code`
  DWORD failing_code = 0;
  std::atomic<int> attempts = 0;       // SetTokenInformation calls
  std::vector<UniqueHandle> launched;  // a handle of our own to each worker started

  LaunchCalls calls() const;
};
Recorder* recording = nullptr;

std::string hex(DWORD v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(v));
  return text;
}
std::string name_of(HANDLE h) {
  const auto found = recording->names.find(h);
  return found != recording->names.end() ? found->second : "unknown";
}
// Records the call; true when it is the one to fail, with its code set as last error.
bool record(const std::string& call, const std::string& details = "") {
  recording->events.push_back(details.empty() ? call : call + " " + details);
  if (call != recording->failing) return false;
  SetLastError(recording->failing_code);
  return true;
}
// Anything but the size and the desktop set in the start-up information.
bool more_than_size_and_desktop(const STARTUPINFOW& s) {
  return s.lpReserved || s.lpTitle || s.dwX || s.dwY || s.dwXSize || s.dwYSize || s.dwXCountChars ||
         s.dwYCountChars || s.dwFillAttribute || s.dwFlags || s.wShowWindow || s.cbReserved2 ||
         s.lpReserved2 || s.hStdInput || s.hStdOutput || s.hStdError;
}
void name(HANDLE h, const char* role) { recording->names[h] = role; }

DWORD WINAPI get_module_file_name(HMODULE module, LPWSTR buffer, DWORD size) {
  return record("GetModuleFileNameW") ? 0 : GetModuleFileNameW(module, buffer, size);
}

BOOL WINAPI open_process_token(HANDLE process, DWORD access, PHANDLE token) {
  const bool self = process == GetCurrentProcess();
  if (record("OpenProcessToken", std::string(self ? "self " : "other ") + hex(access))) {
    return FALSE;
  }
  const BOOL ok = OpenProcessToken(process, access, token);
  if (ok) name(*token, "token");
  return ok;
}

BOOL WINAPI duplicate_token_ex(HANDLE token, DWORD access, LPSECURITY_ATTRIBUTES attributes,
                               SECURITY_IMPERSONATION_LEVEL level, TOKEN_TYPE type,
                               PHANDLE duplicate) {
  if (record("DuplicateTokenEx",
             name_of(token) + " " + hex(access) + (attributes ? " attributes" : " null") +
                 " level=" + std::to_string(level) + " type=" + std::to_string(type))) {
    return FALSE;
  }
  const BOOL ok = DuplicateTokenEx(token, access, attributes, level, type, duplicate);
  if (ok) name(*duplicate, "primary");
  return ok;
}

BOOL WINAPI set_token_information(HANDLE token, TOKEN_INFORMATION_CLASS type, LPVOID data,
                                  DWORD length) {
  ++recording->attempts;
  if (record("SetTokenInformation", name_of(token) + " class=" + std::to_string(type) +
                                        " session=" + std::to_string(*static_cast<DWORD*>(data)) +
                                        " length=" + std::to_string(length))) {
    return FALSE;
  }
  return SetTokenInformation(token, type, data, length);
}

BOOL WINAPI create_process_as_user(HANDLE token, LPCWSTR application, LPWSTR command_line,
                                   LPSECURITY_ATTRIBUTES process_attributes,
                                   LPSECURITY_ATTRIBUTES thread_attributes, BOOL inherit,
                                   DWORD flags, LPVOID environment, LPCWSTR directory,
                                   LPSTARTUPINFOW startup, LPPROCESS_INFORMATION information) {
  const bool filled = information->hProcess || information->hThread || information->dwProcessId;
  if (record(
          "CreateProcessAsUserW",
          name_of(token) + (application ? " application" : "") + " [" + from_wide(command_line) +
              "]" + (process_attributes || thread_attributes ? " attributes" : "") +
              (inherit ? " inherit" : "") + " " + hex(flags) + (environment ? " environment" : "") +
              (directory ? " directory" : "") + " cb=" + std::to_string(startup->cb) +
              " desktop=" + from_wide(startup->lpDesktop) +
              (more_than_size_and_desktop(*startup) ? " more" : "") + (filled ? " filled" : ""))) {
    return FALSE;
  }
  const BOOL ok =
      CreateProcessAsUserW(token, application, command_line, process_attributes, thread_attributes,
                           inherit, flags, environment, directory, startup, information);
  if (!ok) return ok;
  name(information->hProcess, "process");
  name(information->hThread, "thread");
  HANDLE mine = nullptr;
  DuplicateHandle(GetCurrentProcess(), information->hProcess, GetCurrentProcess(), &mine,
                  SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0);
  recording->launched.emplace_back(mine);
  return ok;
}

BOOL WINAPI close_handle(HANDLE h) {
  {
    const auto found = recording->names.find(h);
    recording->events.push_back("CloseHandle " +
                                (found != recording->names.end() ? found->second : "unknown"));
    if (found != recording->names.end()) recording->names.erase(found);
  }
  return CloseHandle(h);
}

LaunchCalls Recorder::calls() const {
  return {&get_module_file_name,  &open_process_token,     &duplicate_token_ex,
          &set_token_information, &create_process_as_user, &close_handle};
}

class Recorded : public ::testing::Test {
 protected:
  void SetUp() override { recording = &recorder; }
  void TearDown() override { recording = nullptr; }
  Recorder recorder;
};
using Launch = Recorded;
using Fallback = Recorded;

// What one successful launch into session 1 does, in order.
std::vector<std::string> one_launch() {
  return {"GetModuleFileNameW",
          "OpenProcessToken self 0xf01ff",
          "DuplicateTokenEx token 0x2000000 null level=2 type=1",
          "CloseHandle token",
          "SetTokenInformation primary class=12 session=1 length=4",
          "CreateProcessAsUserW primary [\"" + from_wide(own_path()) +
              "\" --worker] 0x8000400 cb=" + std::to_string(sizeof(STARTUPINFOW)) +
              " desktop=winsta0\\default",
          "CloseHandle primary",
          "CloseHandle thread"};
}

DWORD wait_for_exit(HANDLE process) {
  DWORD code = 0;
  if (WaitForSingleObject(process, 30000) != WAIT_OBJECT_0) return STILL_ACTIVE;
  return GetExitCodeProcess(process, &code) ? code : 0xDEAD;
}

TEST_F(Launch, StartsThisProgramAsWorkerInTheSessionAndReleasesEveryHandle) {
  for (const bool stay : {false, true}) {
    SetEnvironmentVariableW(kModeVariable, stay ? L"stay" : L"end");
    recorder.events.clear();
    LaunchResult result = launch_worker(1, recorder.calls());
    ASSERT_TRUE(result.worker) << result.error;
    EXPECT_EQ(result.error, "");
    EXPECT_EQ(recorder.events, one_launch());
    if (stay) {
      EXPECT_EQ(result.worker->exit_code(), kStillActive);
      result.worker->terminate(0);
    }
    const DWORD expected = stay ? 0 : kWorkerSawItsLaunch;
    EXPECT_EQ(wait_for_exit(recorder.launched.back().get()), expected);
    EXPECT_EQ(result.worker->exit_code(), expected);
    result.worker.reset();
    EXPECT_EQ(recorder.events.back(), "CloseHandle process");
    EXPECT_TRUE(recorder.names.empty()) << "a handle was left open";
  }
}

TEST_F(Launch, EachFailingStepNamesItselfAndReleasesWhatItTook) {
  const struct {
    const char* call;
    DWORD code;
    std::string error;
    std::size_t events;  // how far the launch went, in one_launch()'s events
  } cases[] = {
      {"OpenProcessToken", 5, "OpenProcessToken 5", 2},
      {"DuplicateTokenEx", 1450, "DuplicateTokenEx 1450", 4},
      {"SetTokenInformation", 1314, "SetTokenInformation TokenSessionId 1314", 5},
      {"CreateProcessAsUserW", 2, "CreateProcessAsUserW 2", 7},
  };
  for (const auto& c : cases) {
    recorder.events.clear();
    recorder.failing = c.call;
    recorder.failing_code = c.code;
    const LaunchResult result = launch_worker(1, recorder.calls());
    EXPECT_FALSE(result.worker);
    EXPECT_EQ(result.error, c.error);
    std::vector<std::string> expected = one_launch();
    expected.resize(c.events);
    if (c.events == 5) expected.push_back("CloseHandle primary");
    EXPECT_EQ(recorder.events, expected) << c.call;
    EXPECT_TRUE(recorder.names.empty()) << c.call << ": a handle was left open";
  }
  EXPECT_TRUE(recorder.launched.empty());

  recorder.failing = "GetModuleFileNameW";
  recorder.failing_code = ERROR_FILE_NOT_FOUND;
  const std::string error = launch_worker(1, recorder.calls()).error;
  EXPECT_TRUE(error.ends_with(". (os error 2)")) << error;  // the system's sentence, trimmed
  EXPECT_GT(error.size(), std::string(". (os error 2)").size());
  EXPECT_EQ(error.find_first_of("\r\n"), std::string::npos) << error;
}

// The supervisor on a thread of its own, stopped and joined when this goes.
class Supervisor {
 public:
  explicit Supervisor(const LaunchCalls& calls)
      : thread_([this, calls] { run_session_supervisor(stop_, calls); }) {}
  ~Supervisor() { stop(); }
  void stop() {
    stop_.set();
    if (thread_.joinable()) thread_.join();
  }

 private:
  StopFlag stop_;
  std::thread thread_;
};

template <class Condition>
bool wait_until(Condition&& condition, std::chrono::milliseconds bound = 30s) {
  for (const auto end = Clock::now() + bound; Clock::now() < end;
       std::this_thread::sleep_for(20ms)) {
    if (condition()) return true;
  }
  return condition();
}

std::string status_note() {
  const std::string bytes = read_whole_file(status_file_paths()[0]).value_or("");
  const std::string key = R"("note":")";
  const std::size_t at = bytes.find(key);
  if (at == std::string::npos) return "";
  return bytes.substr(at + key.size(), bytes.find('"', at + key.size()) - at - key.size());
}

TEST_F(Fallback, ALaunchThatCannotMoveTheTokenStartsOneServerInThisProcess) {
  create_data_directory();
  ASSERT_TRUE(write_whole_file(data_file("capture.auth"), kToken));
  recorder.failing = "SetTokenInformation";
  recorder.failing_code = ERROR_PRIVILEGE_NOT_HELD;

  // The fallback's own status writes overwrite the service's note soon after each attempt, so the
  // file is watched all along.
  std::atomic<bool> watching = true;
  std::set<std::string> notes;
  std::thread watcher([&] {
    while (watching) {
      if (const std::string note = status_note(); !note.empty()) notes.insert(note);
      std::this_thread::sleep_for(2ms);
    }
  });
  const auto start = Clock::now();
  Supervisor supervisor(recorder.calls());

  client::Exchange answer;
  ASSERT_TRUE(wait_until([&] {
    answer = client::exchange("AUTH " + kToken + "\n", 5000);
    return answer.failure == client::Failure::kNone;
  }));
  EXPECT_TRUE(answer.bytes.starts_with(R"({"ok":true,)")) << answer.bytes;

  // After later failures there is still one server: while a client holds its one instance, the
  // pipe is busy.
  ASSERT_TRUE(wait_until([&] { return recorder.attempts >= 2; }));
  const auto open_pipe = [] {
    return UniqueFile(CreateFileW(L"\\\\.\\pipe\\tolm-capture", GENERIC_READ | GENERIC_WRITE, 0,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
  };
  UniqueFile held;
  ASSERT_TRUE(wait_until([&] { return (held = open_pipe()).valid(); }));
  std::this_thread::sleep_for(300ms);  // time enough for a second server to offer an instance
  const UniqueFile second = open_pipe();
  const DWORD error = GetLastError();
  EXPECT_FALSE(second.valid());
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_PIPE_BUSY));
  held.reset();

  std::this_thread::sleep_until(start + 5s);
  supervisor.stop();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  watching = false;
  watcher.join();

  EXPECT_EQ(notes, std::set<std::string>{"spawn failed: SetTokenInformation TokenSessionId 1314"});
  // One attempt every two seconds, give or take a slow machine.
  EXPECT_GE(recorder.attempts, 2);
  EXPECT_LE(recorder.attempts, static_cast<int>(seconds / 2) + 1);
  EXPECT_TRUE(recorder.names.empty()) << "a handle was left open";
  EXPECT_TRUE(recorder.launched.empty());
}

}  // namespace
}  // namespace tolm

int main(int argc, char** argv) {
  if (argc == 2 && std::string_view(argv[1]) == "--worker") return tolm::run_as_worker();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
