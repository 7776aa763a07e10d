// The real tolm-capture-helper.exe installed as the service TolmCaptureHelper in Wine's service
// control manager, started, controlled and stopped through the SCM, with its worker asked over the
// real pipe.
#include <gtest/gtest.h>

#include <windows.h>

#include <tlhelp32.h>
#include <winternl.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/files.h"
#include "base/handles.h"
#include "base/win_text.h"
#include "child_process.h"
#include "client/pipe_client.h"
#include "pattern_check.h"
#include "pattern_window.h"
#include "server/request.h"
#include "status/status_writer.h"

namespace tolm {
namespace {

const std::string kToken(64, 'a');
const wchar_t kHelperExe[] = L"tolm-capture-helper.exe";

std::wstring program_directory() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  const std::wstring exe(path, n);
  return exe.substr(0, exe.find_last_of(L'\\') + 1);
}

// Polls `done` every few milliseconds until it holds or `bound_ms` has passed. The bounds are
// generous: they catch a hang, not a slow machine.
bool poll(const std::function<bool()>& done, ULONGLONG bound_ms, DWORD step_ms = 20) {
  const ULONGLONG end = GetTickCount64() + bound_ms;
  for (;;) {
    if (done()) return true;
    if (GetTickCount64() > end) return false;
    Sleep(step_ms);
  }
}

struct ScHandleClose {
  void operator()(SC_HANDLE h) const { CloseServiceHandle(h); }
};
using ScHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ScHandleClose>;

// Read from the process's own parameters block, as Wine keeps it: the command line the service
// handed to CreateProcessAsUserW.
std::optional<std::wstring> command_line_of(DWORD pid) {
  const UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
  if (!process) return std::nullopt;
  PROCESS_BASIC_INFORMATION basic{};
  ULONG length = 0;
  if (NtQueryInformationProcess(process.get(), ProcessBasicInformation, &basic, sizeof basic,
                                &length) != 0) {
    return std::nullopt;
  }
  PEB peb{};
  RTL_USER_PROCESS_PARAMETERS parameters{};
  if (!ReadProcessMemory(process.get(), basic.PebBaseAddress, &peb, sizeof peb, nullptr) ||
      !ReadProcessMemory(process.get(), peb.ProcessParameters, &parameters, sizeof parameters,
                         nullptr)) {
    return std::nullopt;
  }
  std::wstring line(parameters.CommandLine.Length / sizeof(wchar_t), L'\0');
  if (!ReadProcessMemory(process.get(), parameters.CommandLine.Buffer, line.data(),
                         parameters.CommandLine.Length, nullptr)) {
    return std::nullopt;
  }
  return line;
}

struct HelperProcess {
  DWORD pid = 0;
  DWORD parent = 0;
  std::wstring command_line;
};

// Every running tolm-capture-helper.exe whose command line carries --worker.
std::vector<HelperProcess> workers() {
  std::vector<HelperProcess> found;
  const UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return found;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (_wcsicmp(entry.szExeFile, kHelperExe) != 0) continue;
    const std::optional<std::wstring> line = command_line_of(entry.th32ProcessID);
    if (line && line->find(L"--worker") != std::wstring::npos) {
      found.push_back({entry.th32ProcessID, entry.th32ParentProcessID, *line});
    }
  }
  return found;
}

void end_workers() {
  for (const HelperProcess& w : workers()) {
    const UniqueHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, w.pid));
    if (process && TerminateProcess(process.get(), 0)) WaitForSingleObject(process.get(), 10000);
  }
}

std::optional<HelperProcess> only_worker() {
  const std::vector<HelperProcess> all = workers();
  if (all.size() != 1) return std::nullopt;
  return all.front();
}

SERVICE_STATUS_PROCESS query(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  EXPECT_TRUE(QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                   reinterpret_cast<BYTE*>(&status), sizeof status, &needed))
      << GetLastError();
  return status;
}

bool reaches(SC_HANDLE service, DWORD state) {
  return poll([&] { return query(service).dwCurrentState == state; }, 60000, 50);
}

// Keeps the service notes that pass through the first two status file locations. The worker
// overwrites them within a fraction of a second, so they are read back-to-back on a thread of
// their own for as long as the test runs.
class NoteWatcher {
 public:
  NoteWatcher() : paths_(status_file_paths()), thread_([this] { watch(); }) {}
  ~NoteWatcher() {
    quit_ = true;
    thread_.join();
  }
  NoteWatcher(const NoteWatcher&) = delete;
  NoteWatcher& operator=(const NoteWatcher&) = delete;

  // The distinct service documents seen so far that contain `text`.
  std::size_t count(const std::string& text) {
    const std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const std::string& doc : seen_) n += doc.find(text) != std::string::npos ? 1 : 0;
    return n;
  }

 private:
  void watch() {
    while (!quit_) {
      for (std::size_t i = 0; i < 2 && i < paths_.size(); ++i) {
        const std::optional<std::string> doc = read_whole_file(paths_[i]);
        if (doc && doc->find(R"("backend":"service")") != std::string::npos) {
          const std::lock_guard lock(mutex_);
          seen_.insert(*doc);
        }
      }
      Sleep(1);
    }
  }

  const std::vector<std::string> paths_;
  std::atomic<bool> quit_{false};
  std::mutex mutex_;
  std::set<std::string> seen_;
  std::thread thread_;
};

std::string frame_request() { return "AUTH " + kToken + "\nFRAME\n"; }

// Asks once a server is up: a starting helper creates its pipe only after its token is in place.
client::Exchange ask_when_up(const std::string& request) {
  client::Exchange e;
  poll(
      [&] {
        e = client::exchange(request, 60000);
        return e.failure != client::Failure::kNoServer;
      },
      60000, 100);
  return e;
}

class Service : public ::testing::Test {
 protected:
  void SetUp() override {
    create_data_directory();
    ASSERT_TRUE(write_whole_file(data_file("capture.auth"), kToken));
    scm_.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(scm_) << GetLastError();
    // Installed the way the README says, with the system's own tool. Right after the prefix is
    // made a creation can be lost without an error: look, and retry.
    const std::wstring create = L"sc.exe create TolmCaptureHelper binPath= \"\\\"" +
                                program_directory() + kHelperExe + L"\\\"\"";
    ASSERT_TRUE(poll(
        [&] {
          const testing::ChildRun sc = testing::run_child(create, program_directory());
          service_.reset(OpenServiceW(scm_.get(), L"TolmCaptureHelper", SERVICE_ALL_ACCESS));
          SERVICE_STATUS_PROCESS status{};
          DWORD needed = 0;
          return service_ &&
                 QueryServiceStatusEx(service_.get(), SC_STATUS_PROCESS_INFO,
                                      reinterpret_cast<BYTE*>(&status), sizeof status, &needed);
        },
        30000, 500));
    QUERY_SERVICE_CONFIGW* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config_buffer_);
    DWORD needed = 0;
    ASSERT_TRUE(QueryServiceConfigW(service_.get(), config, sizeof config_buffer_, &needed));
    EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(std::wstring(config->lpBinaryPathName),
              L"\"" + program_directory() + kHelperExe + L"\"");
  }
  void TearDown() override {
    if (!service_) return;
    SERVICE_STATUS status{};
    if (query(service_.get()).dwCurrentState != SERVICE_STOPPED) {
      ControlService(service_.get(), SERVICE_CONTROL_STOP, &status);
      reaches(service_.get(), SERVICE_STOPPED);
    }
    EXPECT_TRUE(DeleteService(service_.get())) << GetLastError();
  }

  // Wine's services.exe goes on starting its own services after wineboot has returned, some of
  // them until their 30-second timeout. Meanwhile a start waits for the database ("locked", 1055)
  // or is lost in a race inside Wine's dispatcher ("no response", 1053: the SCM then ends the
  // process it made). Both are retried.
  bool start() {
    return poll(
               [&] {
                 start_error_ = StartServiceW(service_.get(), 0, nullptr) ? 0 : GetLastError();
                 if (start_error_ == ERROR_SERVICE_REQUEST_TIMEOUT) {
                   reaches(service_.get(), SERVICE_STOPPED);
                   end_workers();  // one may have been launched before the process was ended
                 }
                 return start_error_ != ERROR_SERVICE_DATABASE_LOCKED &&
                        start_error_ != ERROR_SERVICE_REQUEST_TIMEOUT;
               },
               240000, 500) &&
           start_error_ == 0;
  }

  ScHandle scm_;
  ScHandle service_;
  alignas(QUERY_SERVICE_CONFIGW) BYTE config_buffer_[8192];
  DWORD start_error_ = 0;
};

TEST_F(Service, RunsAWorkerThatServesFramesReplacesItAndStopsCleanly) {
  test_pattern::PatternWindow pattern;
  ASSERT_TRUE(pattern.start());
  NoteWatcher notes;

  ASSERT_TRUE(start()) << "last error " << start_error_;
  ASSERT_TRUE(reaches(service_.get(), SERVICE_RUNNING));
  const SERVICE_STATUS_PROCESS running = query(service_.get());
  EXPECT_EQ(running.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(running.dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP));
  EXPECT_EQ(running.dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
  const DWORD service_pid = running.dwProcessId;
  const UniqueHandle service_process(
      OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, service_pid));
  ASSERT_TRUE(service_process) << service_pid;

  // One worker, the service's child, started as the quoted path and the flag.
  ASSERT_TRUE(poll([] { return only_worker().has_value(); }, 30000)) << workers().size();
  const HelperProcess first = *only_worker();
  EXPECT_EQ(first.parent, service_pid);
  EXPECT_EQ(first.command_line, L"\"" + program_directory() + kHelperExe + L"\" --worker");

  // The frame comes from the worker: the service process runs no capture server of its own
  // while its launches succeed.
  // Under Wine a worker started by the service can, for its first second or so, fail the grab the
  // server makes itself before the capture thread has published (SetThreadDesktop answers access
  // denied on the server's thread); it then answers "no frame" until the first publication.
  client::Exchange frame = ask_when_up(frame_request());
  int no_frame_answers = 0;
  poll(
      [&] {
        if (frame.bytes != kNoFrameResponse) return true;
        ++no_frame_answers;
        frame = client::exchange(frame_request(), 60000);
        return false;
      },
      60000, 50);
  std::printf("\"no frame\" answers before the first frame: %d\n", no_frame_answers);
  ASSERT_EQ(frame.error, "");
  ASSERT_GE(frame.bytes.size(), 20u);
  ASSERT_EQ(frame.bytes.substr(0, 4), "RFRA") << frame.bytes.substr(0, 64);
  Frame f;
  std::memcpy(&f.width, frame.bytes.data() + 4, 4);
  std::memcpy(&f.height, frame.bytes.data() + 8, 4);
  std::memcpy(&f.stride, frame.bytes.data() + 12, 4);
  ASSERT_EQ(frame.bytes.size(), 20 + std::size_t{f.stride} * f.height);
  f.pixels.assign(frame.bytes.begin() + 20, frame.bytes.end());
  EXPECT_EQ(f.width, 1920u);
  EXPECT_EQ(f.height, 1080u);
  testing::expect_pattern(f);

  ASSERT_TRUE(poll([&] { return notes.count(R"("note":"worker session=1")") >= 1; }, 30000));

  // A worker that dies is replaced at the next pass, with a new note.
  const UniqueHandle first_process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, first.pid));
  ASSERT_TRUE(first_process);
  const std::size_t notes_before = notes.count(R"("note":"worker session=1")");
  const ULONGLONG killed_at = GetTickCount64();
  ASSERT_TRUE(TerminateProcess(first_process.get(), 7));
  ASSERT_EQ(WaitForSingleObject(first_process.get(), 10000), WAIT_OBJECT_0);
  std::optional<HelperProcess> second;
  EXPECT_TRUE(poll(
      [&] {
        second = only_worker();
        return second && second->pid != first.pid;
      },
      15000, 10));
  std::printf("replacement worker seen %llu ms after the kill\n",
              static_cast<unsigned long long>(GetTickCount64() - killed_at));
  ASSERT_TRUE(second && second->pid != first.pid);
  EXPECT_EQ(second->parent, service_pid);
  EXPECT_TRUE(
      poll([&] { return notes.count(R"("note":"worker session=1")") > notes_before; }, 30000));
  const UniqueHandle second_process(OpenProcess(SYNCHRONIZE, FALSE, second->pid));
  ASSERT_TRUE(second_process);

  // Controls that are not STOP leave the service running. The SCM itself refuses PAUSE, which
  // was never declared. A user-defined code reaches the handler, which refuses it; Wine's SCM
  // answers success whatever the handler returns, so only the effect can be checked here.
  SERVICE_STATUS status{};
  EXPECT_TRUE(ControlService(service_.get(), SERVICE_CONTROL_INTERROGATE, &status))
      << GetLastError();
  EXPECT_FALSE(ControlService(service_.get(), SERVICE_CONTROL_PAUSE, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
  for (const DWORD user_code : {128u, 200u, 255u}) {
    ControlService(service_.get(), user_code, &status);
  }
  Sleep(1500);  // more than one poll of the supervisor
  EXPECT_EQ(query(service_.get()).dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(WaitForSingleObject(second_process.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

  // STOP: the worker goes, the service reports stopped with no error and its process ends with 0.
  // Through the API: Wine's sc.exe stop answered "not active" (1062) here while it ran.
  ASSERT_TRUE(ControlService(service_.get(), SERVICE_CONTROL_STOP, &status)) << GetLastError();
  ASSERT_TRUE(reaches(service_.get(), SERVICE_STOPPED));
  EXPECT_EQ(query(service_.get()).dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(WaitForSingleObject(second_process.get(), 10000), WAIT_OBJECT_0);
  EXPECT_TRUE(workers().empty());
  ASSERT_EQ(WaitForSingleObject(service_process.get(), 30000), WAIT_OBJECT_0);
  DWORD exit_code = 1;
  ASSERT_TRUE(GetExitCodeProcess(service_process.get(), &exit_code));
  EXPECT_EQ(exit_code, 0u);
  EXPECT_FALSE(client::exchange(frame_request(), 2000).error.empty()) << "a server outlived it";
}

// Outside the service control manager the dispatcher fails at once and the same process serves.
TEST(NotAService, WithoutAFlagTheHelperServesInItsOwnProcess) {
  create_data_directory();
  ASSERT_TRUE(write_whole_file(data_file("capture.auth"), kToken));
  for (const wchar_t* arguments : {L"", L" --Worker -C --worker=1 -cx /c"}) {
    const std::wstring exe = program_directory() + kHelperExe;
    std::wstring command = L"\"" + exe + L"\"" + arguments;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &si, &pi));
    CloseHandle(pi.hThread);
    const UniqueHandle process(pi.hProcess);
    const client::Exchange status = ask_when_up("AUTH " + kToken + "\n");
    EXPECT_EQ(status.error, "");
    EXPECT_EQ(status.bytes.rfind(R"({"ok":true,)", 0), 0u) << status.bytes;
    EXPECT_EQ(WaitForSingleObject(process.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    TerminateProcess(process.get(), 0);
    WaitForSingleObject(process.get(), 10000);
  }
}

}  // namespace
}  // namespace tolm
