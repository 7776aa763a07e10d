// The real tolm-capture-helper.exe as the service TolmCaptureHelper of Wine's service control
// manager, with its worker asked over the real pipe; and the same program started plainly.
#include <gtest/gtest.h>

#include <windows.h>

#include <tlhelp32.h>
#include <winternl.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/files.h"
#include "base/handles.h"
#include "child_process.h"
#include "client/capture_response.h"
#include "client/pipe_client.h"
#include "pattern_check.h"
#include "pattern_window.h"
#include "server/request.h"
#include "status/status_writer.h"

namespace tolm {
namespace {

const std::string kToken(64, 'a');

using testing::program_directory;
std::wstring helper_exe() { return program_directory() + L"tolm-capture-helper.exe"; }

// The bounds are generous: they catch a hang, not a slow machine.
bool poll(const std::function<bool()>& done, ULONGLONG bound_ms, DWORD step_ms = 20) {
  for (const ULONGLONG end = GetTickCount64() + bound_ms; !done(); Sleep(step_ms)) {
    if (GetTickCount64() > end) return false;
  }
  return true;
}

// From the process's parameters block, where Wine keeps the line it was created with.
std::wstring command_line_of(DWORD pid) {
  const UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
  const auto read = [&](const void* from, void* to, std::size_t size) {
    return ReadProcessMemory(process.get(), from, to, size, nullptr);
  };
  PROCESS_BASIC_INFORMATION basic{};
  PEB peb{};
  RTL_USER_PROCESS_PARAMETERS parameters{};
  if (!process ||
      NtQueryInformationProcess(process.get(), ProcessBasicInformation, &basic, sizeof basic,
                                nullptr) != 0 ||
      !read(basic.PebBaseAddress, &peb, sizeof peb) ||
      !read(peb.ProcessParameters, &parameters, sizeof parameters)) {
    return L"";
  }
  std::wstring line(parameters.CommandLine.Length / sizeof(wchar_t), L'\0');
  return read(parameters.CommandLine.Buffer, line.data(), parameters.CommandLine.Length) ? line
                                                                                         : L"";
}

struct Helper {
  DWORD pid, parent;
  std::wstring command_line;
};

// Every running helper; with `workers_only`, those whose command line carries --worker.
std::vector<Helper> helpers(bool workers_only) {
  std::vector<Helper> found;
  const UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry{.dwSize = sizeof entry};
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (_wcsicmp(entry.szExeFile, L"tolm-capture-helper.exe") != 0) continue;
    const std::wstring line = command_line_of(entry.th32ProcessID);
    if (!workers_only || line.find(L"--worker") != std::wstring::npos) {
      found.push_back({entry.th32ProcessID, entry.th32ParentProcessID, line});
    }
  }
  return found;
}
std::vector<Helper> workers() { return helpers(true); }

std::string describe(const std::vector<Helper>& found) {
  std::string text = std::to_string(found.size()) + " worker(s):";
  for (const Helper& h : found) {
    text += " [pid " + std::to_string(h.pid) + ", parent " + std::to_string(h.parent) + "]";
  }
  return text;
}

using ScHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, decltype(&CloseServiceHandle)>;

SERVICE_STATUS_PROCESS query(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                       sizeof status, &needed);
  return status;
}
bool reaches(SC_HANDLE service, DWORD state) {
  return poll([&] { return query(service).dwCurrentState == state; }, 60000, 50);
}
std::string describe(const SERVICE_STATUS_PROCESS& s) {
  return "state " + std::to_string(s.dwCurrentState) + ", accepts " +
         std::to_string(s.dwControlsAccepted) + ", pid " + std::to_string(s.dwProcessId) +
         ", exit " + std::to_string(s.dwWin32ExitCode);
}

// Asks once a server is up: a starting helper creates its pipe only after its token is in place,
// and under Wine a new worker answers "no frame" until its capture thread has published (the grab
// its server makes itself fails: SetThreadDesktop is refused on that thread).
client::Exchange ask_when_up(const std::string& request) {
  client::Exchange e;
  poll(
      [&] {
        e = client::exchange(request, 60000);
        return e.failure != client::Failure::kNoServer && e.bytes != kNoFrameResponse;
      },
      60000, 100);
  return e;
}

void write_token() {
  (void)create_directories(kDataDirectory);
  ASSERT_TRUE(write_whole_file(data_file("capture.auth"), kToken));
}

class Service : public ::testing::Test {
 protected:
  void SetUp() override {
    write_token();
    scm_.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(scm_) << GetLastError();
    // Installed with the system's own tool. Right after the prefix is made a creation can be lost
    // without an error: look, and retry.
    const std::wstring create =
        L"sc.exe create TolmCaptureHelper binPath= \"\\\"" + helper_exe() + L"\\\"\"";
    ASSERT_TRUE(poll(
        [&] {
          testing::run_child(create, program_directory());
          service_.reset(OpenServiceW(scm_.get(), L"TolmCaptureHelper", SERVICE_ALL_ACCESS));
          return service_ && query(service_.get()).dwServiceType != 0;
        },
        30000, 500));
  }
  void TearDown() override {
    if (!service_) return;
    SERVICE_STATUS status{};
    ControlService(service_.get(), SERVICE_CONTROL_STOP, &status);
    reaches(service_.get(), SERVICE_STOPPED);
    EXPECT_TRUE(DeleteService(service_.get())) << GetLastError();
  }

  // Wine's services.exe goes on starting its own services after wineboot has returned, some of
  // them until their 30-second timeout. Meanwhile a start waits for the database ("locked", 1055)
  // or is lost in a race inside Wine's dispatcher ("no response", 1053: the SCM then ends the
  // process it made, perhaps after it launched a worker). Both are retried, a lost start only once
  // every helper of it has ended, so that none of them is taken for the next start's.
  DWORD start() {
    DWORD error = 0;
    poll(
        [&] {
          error = StartServiceW(service_.get(), 0, nullptr) ? 0 : GetLastError();
          if (error == ERROR_SERVICE_REQUEST_TIMEOUT) {
            reaches(service_.get(), SERVICE_STOPPED);
            for (const Helper& h : helpers(false)) {
              const UniqueHandle p(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, h.pid));
              if (p && TerminateProcess(p.get(), 0)) WaitForSingleObject(p.get(), 10000);
            }
          }
          return error != ERROR_SERVICE_DATABASE_LOCKED && error != ERROR_SERVICE_REQUEST_TIMEOUT;
        },
        240000, 500);
    return error;
  }

  ScHandle scm_{nullptr, &CloseServiceHandle};
  ScHandle service_{nullptr, &CloseServiceHandle};
};

TEST_F(Service, RunsAWorkerThatServesFramesReplacesItAndStopsCleanly) {
  test_pattern::PatternWindow pattern;
  ASSERT_TRUE(pattern.start());
  // The worker overwrites the service's notes within a fraction of a second, so the status files
  // are read back-to-back on a thread of their own; every distinct service document is kept.
  std::mutex mutex;
  std::set<std::string> documents;
  std::jthread watcher([&, paths = status_file_paths()](std::stop_token quit) {
    for (; !quit.stop_requested(); Sleep(1)) {
      for (std::size_t i = 0; i < 2 && i < paths.size(); ++i) {
        const std::string doc = read_whole_file(paths[i]).value_or("");
        const std::lock_guard lock(mutex);
        if (doc.find(R"("backend":"service")") != std::string::npos) documents.insert(doc);
      }
    }
  });
  const auto notes_of_worker = [&] {
    const std::lock_guard lock(mutex);
    return std::ranges::count_if(documents, [](const std::string& doc) {
      return doc.find(R"("note":"worker session=1")") != std::string::npos;
    });
  };

  ASSERT_EQ(start(), 0u);
  // Running, accepting STOP only, as the service's single report before its stop says.
  SERVICE_STATUS_PROCESS running{};
  ASSERT_TRUE(poll(
      [&] {
        running = query(service_.get());
        return running.dwCurrentState == SERVICE_RUNNING && running.dwProcessId != 0;
      },
      60000, 50))
      << describe(running);
  EXPECT_EQ(running.dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP))
      << describe(running);
  const DWORD service_pid = running.dwProcessId;
  const UniqueHandle service_process(
      OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, service_pid));
  ASSERT_TRUE(service_process) << service_pid;

  // One worker, the service's child, started as the quoted path and the flag.
  std::vector<Helper> found;
  ASSERT_TRUE(poll(
      [&] {
        found = workers();
        return found.size() == 1;
      },
      60000))
      << describe(found) << "; service " << describe(query(service_.get()));
  const Helper first = found.front();
  EXPECT_EQ(first.parent, service_pid);
  EXPECT_EQ(first.command_line, L"\"" + helper_exe() + L"\" --worker");

  // The service process runs no capture server of its own while its launches succeed, so the
  // frame comes from the worker.
  const client::Exchange frame = ask_when_up(client::frame_request(kToken));
  const client::Response response = client::read_response(frame.bytes, true);
  ASSERT_EQ(response.kind, client::Kind::kFrame) << frame.error << response.problem;
  const Frame f{.pixels = {response.frame.pixels.begin(), response.frame.pixels.end()},
                .width = response.frame.width,
                .height = response.frame.height,
                .stride = response.frame.stride};
  EXPECT_EQ(f.width, 1920u);
  EXPECT_EQ(f.height, 1080u);
  testing::expect_pattern(f);
  ASSERT_TRUE(poll([&] { return notes_of_worker() >= 1; }, 30000));

  // A worker that dies is replaced, with a new note.
  const auto notes_before = notes_of_worker();
  const UniqueHandle first_process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, first.pid));
  ASSERT_TRUE(first_process && TerminateProcess(first_process.get(), 7));
  ASSERT_EQ(WaitForSingleObject(first_process.get(), 10000), WAIT_OBJECT_0);
  std::vector<Helper> now;
  ASSERT_TRUE(poll(
      [&] {
        now = workers();
        return now.size() == 1 && now[0].pid != first.pid;
      },
      15000, 10));
  EXPECT_EQ(now[0].parent, service_pid);
  EXPECT_TRUE(poll([&] { return notes_of_worker() > notes_before; }, 30000));
  const UniqueHandle second_process(OpenProcess(SYNCHRONIZE, FALSE, now[0].pid));
  ASSERT_TRUE(second_process);

  // Controls other than STOP leave the service and its worker running. Wine's SCM answers
  // success for user codes whatever the handler returns, so only the effect can be checked.
  SERVICE_STATUS status{};
  EXPECT_TRUE(ControlService(service_.get(), SERVICE_CONTROL_INTERROGATE, &status));
  for (const DWORD user_code : {128u, 255u}) ControlService(service_.get(), user_code, &status);
  Sleep(1500);  // more than one poll of the supervisor
  EXPECT_EQ(query(service_.get()).dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(WaitForSingleObject(second_process.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

  // Through the API: Wine's sc.exe stop answered "not active" (1062) here while it ran.
  ASSERT_TRUE(ControlService(service_.get(), SERVICE_CONTROL_STOP, &status)) << GetLastError();
  ASSERT_TRUE(reaches(service_.get(), SERVICE_STOPPED));
  EXPECT_EQ(query(service_.get()).dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(WaitForSingleObject(second_process.get(), 10000), WAIT_OBJECT_0);
  EXPECT_TRUE(workers().empty());
  ASSERT_EQ(WaitForSingleObject(service_process.get(), 30000), WAIT_OBJECT_0);
  DWORD exit_code = 1;
  EXPECT_TRUE(GetExitCodeProcess(service_process.get(), &exit_code) && exit_code == 0) << exit_code;
  EXPECT_NE(client::exchange(client::status_request(kToken), 2000).failure, client::Failure::kNone)
      << "a server outlived the service";
}

// Outside the service control manager the dispatcher fails at once and the same process serves.
TEST(NotAService, WithoutAFlagTheHelperServesInItsOwnProcess) {
  write_token();
  for (const wchar_t* arguments : {L"", L" --Worker -C --worker=1 -cx /c"}) {
    std::wstring command = L"\"" + helper_exe() + L"\"" + arguments;
    STARTUPINFOW si{.cb = sizeof si};
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessW(helper_exe().c_str(), command.data(), nullptr, nullptr, FALSE, 0,
                               nullptr, nullptr, &si, &pi));
    CloseHandle(pi.hThread);
    const UniqueHandle process(pi.hProcess);
    const client::Exchange status = ask_when_up(client::status_request(kToken));
    EXPECT_EQ(client::read_response(status.bytes, false).kind, client::Kind::kStatus)
        << status.error << status.bytes;
    EXPECT_EQ(WaitForSingleObject(process.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    TerminateProcess(process.get(), 0);
    WaitForSingleObject(process.get(), 10000);
  }
}

}  // namespace
}  // namespace tolm
