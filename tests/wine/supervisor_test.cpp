// The Win32 session supervisor under Wine: real launches of this very program as the worker,
// through a seam that records the launch's calls and fails the ones Wine would not refuse.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "base/data_directory.h"
#include "base/handles.h"
#include "base/win_text.h"
#include "child_process.h"
#include "client/pipe_client.h"
#include "base/locations.h"
#include "service/session_supervisor_win.h"
#include "status/status_writer.h"

namespace tolm {
namespace {

using testing::poll;
using namespace std::chrono_literals;

constexpr DWORD kWorkerSawItsLaunch = 42;
const std::string kToken(64, 'c');

std::wstring own_path() { return executable_path().value_or(L""); }

// The worker checks what it was started with itself: Wine keeps no other record of the desktop.
int run_as_worker() {
  STARTUPINFOW startup{};
  GetStartupInfoW(&startup);
  const bool desktop =
      startup.lpDesktop && std::wstring_view(startup.lpDesktop) == L"winsta0\\default";
  const bool line = GetCommandLineW() == L"\"" + own_path() + L"\" --worker";
  return desktop && line ? kWorkerSawItsLaunch : 10 + desktop + 2 * line;
}

struct Recorder {
  std::vector<std::string> calls;      // each call with what it was given
  std::map<HANDLE, const char*> open;  // handles the launch took, by role
  std::string failing;                 // the call that fails, with `failing_code`
  DWORD failing_code = 0;
} rec;
std::atomic<int> attempts = 0;  // SetTokenInformation calls, counted across threads

template <class... Parts>
std::string line(const Parts&... parts) {
  std::ostringstream s;
  s << std::hex;
  ((s << parts << ' '), ...);
  return s.str();
}
// Records the call; true when it is the one to fail, with its code set as last error.
template <class... Parts>
bool fails(const Parts&... parts) {
  rec.calls.push_back(line(parts...));
  if (rec.failing.empty() || !rec.calls.back().starts_with(rec.failing + " ")) return false;
  SetLastError(rec.failing_code);
  return true;
}
BOOL took(BOOL ok, const HANDLE* handle, const char* role) {
  if (ok) rec.open[*handle] = role;
  return ok;
}
const char* role(HANDLE h) { return rec.open.contains(h) ? rec.open[h] : "unknown"; }

DWORD WINAPI module_name(HMODULE module, LPWSTR buffer, DWORD size) {
  return fails("GetModuleFileNameW") ? 0 : GetModuleFileNameW(module, buffer, size);
}
BOOL WINAPI open_token(HANDLE process, DWORD access, PHANDLE token) {
  return !fails("OpenProcessToken", process == GetCurrentProcess(), access) &&
         took(OpenProcessToken(process, access, token), token, "token");
}
BOOL WINAPI duplicate(HANDLE token, DWORD access, LPSECURITY_ATTRIBUTES attributes,
                      SECURITY_IMPERSONATION_LEVEL level, TOKEN_TYPE type, PHANDLE copy) {
  return !fails("DuplicateTokenEx", role(token), access, !!attributes, level, type) &&
         took(DuplicateTokenEx(token, access, attributes, level, type, copy), copy, "primary");
}
BOOL WINAPI set_information(HANDLE token, TOKEN_INFORMATION_CLASS type, LPVOID data, DWORD size) {
  ++attempts;
  return !fails("SetTokenInformation", role(token), type, *static_cast<DWORD*>(data), size) &&
         SetTokenInformation(token, type, data, size);
}
BOOL WINAPI create_process(HANDLE token, LPCWSTR application, LPWSTR command_line,
                           LPSECURITY_ATTRIBUTES process_attributes,
                           LPSECURITY_ATTRIBUTES thread_attributes, BOOL inherit, DWORD flags,
                           LPVOID environment, LPCWSTR directory, LPSTARTUPINFOW startup,
                           LPPROCESS_INFORMATION info) {
  return !fails("CreateProcessAsUserW", role(token), !!application, from_wide(command_line),
                process_attributes || thread_attributes, inherit, flags, !!environment, !!directory,
                startup->cb, from_wide(startup->lpDesktop)) &&
         took(took(CreateProcessAsUserW(token, application, command_line, process_attributes,
                                        thread_attributes, inherit, flags, environment, directory,
                                        startup, info),
                   &info->hProcess, "process"),
              &info->hThread, "thread");
}
const LaunchCalls kCalls{&module_name, &open_token, &duplicate, &set_information, &create_process};

// The handles the launch took that are still open. Wine hands out handle values lowest first, so
// this is asked right after the launch, before anything else opens one.
std::size_t still_open() {
  std::size_t open = 0;
  for (const auto& taken : rec.open) {
    DWORD flags = 0;
    open += GetHandleInformation(taken.first, &flags) ? 1 : 0;
  }
  return open;
}

// What one launch into session 1 asks, in order.
const std::vector<std::string> kLaunch = {
    line("GetModuleFileNameW"), line("OpenProcessToken", true, 0xF01FF),
    line("DuplicateTokenEx", "token", MAXIMUM_ALLOWED, false, SecurityImpersonation, TokenPrimary),
    line("SetTokenInformation", "primary", TokenSessionId, 1, 4),
    line("CreateProcessAsUserW", "primary", false, "\"" + from_wide(own_path()) + "\" --worker",
         false, false, 0x08000404, false, false, sizeof(STARTUPINFOW), "winsta0\\default")};

TEST(Launch, StartsThisProgramAsWorkerAndReleasesEveryHandleOnEveryPath) {
  rec = {};
  LaunchResult result = launch_worker(1, kCalls);
  ASSERT_TRUE(result.worker) << result.error;
  EXPECT_EQ(rec.calls, kLaunch);
  EXPECT_EQ(still_open(), 1u);  // only the process, until the worker goes
  EXPECT_TRUE(poll([&] { return result.worker->exit_code() != kStillActive; }, 30000));
  EXPECT_EQ(result.worker->exit_code(), kWorkerSawItsLaunch);
  result.worker.reset();
  EXPECT_EQ(still_open(), 0u);

  const struct {
    const char* call;
    DWORD code;
    std::string error;
  } cases[] = {{"OpenProcessToken", 5, "OpenProcessToken 5"},
               {"DuplicateTokenEx", 1450, "DuplicateTokenEx 1450"},
               {"SetTokenInformation", 1314, "SetTokenInformation TokenSessionId 1314"},
               {"CreateProcessAsUserW", 2, "CreateProcessAsUserW 2"}};
  for (const auto& c : cases) {
    rec = {.failing = c.call, .failing_code = c.code};
    const LaunchResult failed = launch_worker(1, kCalls);
    EXPECT_FALSE(failed.worker) << c.call;
    EXPECT_EQ(failed.error, c.error);
    // Up to the failing call and no further.
    EXPECT_TRUE(rec.calls.back().starts_with(c.call)) << c.call;
    EXPECT_EQ(rec.calls, std::vector(kLaunch.begin(), kLaunch.begin() + rec.calls.size()));
    EXPECT_EQ(still_open(), 0u) << c.call << ": a handle was left open";
  }
  rec = {.failing = "GetModuleFileNameW", .failing_code = ERROR_FILE_NOT_FOUND};
  const std::string error = launch_worker(1, kCalls).error;  // the system's sentence, trimmed
  EXPECT_TRUE(error.ends_with(". (os error 2)") && error.size() > 14) << error;
  EXPECT_EQ(error.find_first_of("\r\n"), std::string::npos) << error;
}

std::string status_note() {
  static const std::regex note(R"re("note":"([^"]*)")re");
  const std::string bytes = read_whole_file(status_file_paths()[0]).value_or("");
  std::smatch found;
  return std::regex_search(bytes, found, note) ? found[1].str() : "";
}

TEST(Fallback, ALaunchThatCannotMoveTheTokenStartsOneServerInThisProcess) {
  (void)create_directories(kDataDirectory);
  ASSERT_TRUE(write_whole_file(data_file("capture.auth"), kToken));
  rec = {.failing = "SetTokenInformation", .failing_code = ERROR_PRIVILEGE_NOT_HELD};
  // The fallback's own status writes overwrite the service's note soon after each attempt, so the
  // file is watched all along.
  std::set<std::string> notes;
  std::jthread watcher([&](std::stop_token quit) {
    for (; !quit.stop_requested(); std::this_thread::sleep_for(2ms)) {
      if (const std::string note = status_note(); !note.empty()) notes.insert(note);
    }
  });
  StopFlag stop;
  std::thread supervisor([&] { run_session_supervisor(stop, kCalls); });
  // Expectations only from here, so that the supervisor is always stopped and joined.

  client::Exchange answer;
  EXPECT_TRUE(poll(
      [&] {
        answer = client::exchange("AUTH " + kToken + "\n", 5000);
        return answer.failure == client::Failure::kNone;
      },
      30000));
  EXPECT_TRUE(answer.bytes.starts_with(R"({"ok":true,)")) << answer.bytes;

  // Later failures start no second server (the host tests count the starts); the attempts go on.
  EXPECT_TRUE(poll([&] { return attempts >= 2; }, 30000));
  stop.set();
  supervisor.join();
  watcher.request_stop();
  watcher.join();
  EXPECT_EQ(notes, std::set<std::string>{"spawn failed: SetTokenInformation TokenSessionId 1314"});
}

// A console-session change with the real helper as the worker: the new worker starts first, the old
// one ends once the new one serves, and the pipe's name has an instance all along.
TEST(Handover, TheOldWorkerEndsOnlyOnceTheNewOneServes) {
  (void)create_directories(kDataDirectory);
  ASSERT_TRUE(write_whole_file(data_file("capture.auth"), kToken));
  static std::atomic<DWORD> session{1};
  LaunchCalls calls;
  calls.get_module_file_name = [](HMODULE, LPWSTR buffer, DWORD size) -> DWORD {
    const std::wstring own = own_path();
    const std::wstring helper = own.substr(0, own.find_last_of(L'\\') + 1) +
                                L"tolm-capture-helper.exe";
    return helper.size() < size && wcscpy(buffer, helper.c_str()) ? helper.size() : 0;
  };
  calls.console_session = [] { return session.load(); };
  const auto server = [] {
    const client::Exchange e = client::exchange("AUTH " + kToken + "\n", 5000);
    return e.failure == client::Failure::kNone ? e.server_process : 0;
  };
  StopFlag stop;
  std::thread supervisor([&] { run_session_supervisor(stop, calls); });
  unsigned long first = 0;
  EXPECT_TRUE(poll([&] { return (first = server()) != 0; }, 30000));
  std::atomic<bool> done{false};
  int gone = 0;
  std::thread watcher([&] {
    for (; !done; Sleep(0)) {
      gone += !WaitNamedPipeA(kPipeName, 1) && GetLastError() == ERROR_FILE_NOT_FOUND;
    }
  });
  session = 2;
  EXPECT_TRUE(poll([&] {
    const unsigned long now = server();
    return now != 0 && now != first;
  }, 30000));
  const UniqueHandle old(OpenProcess(SYNCHRONIZE, FALSE, first));
  EXPECT_TRUE(!old || WaitForSingleObject(old.get(), 20000) == WAIT_OBJECT_0);
  done = true;
  watcher.join();
  stop.set();
  supervisor.join();
  EXPECT_EQ(gone, 0);
}

}  // namespace
}  // namespace tolm

int main(int argc, char** argv) {
  if (argc == 2 && std::string_view(argv[1]) == "--worker") return tolm::run_as_worker();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
