// The real tolm-capture-helper.exe as the service TolmCaptureHelper of Wine's service control
// manager, installed and removed by its package with msiexec, with its worker asked over the real
// pipe; and the same program started plainly.
#include <gtest/gtest.h>

#include <windows.h>

#include <tlhelp32.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/data_directory.h"
#include "base/handles.h"
#include "base/win_text.h"
#include "child_process.h"
#include "protocol/request.h"
#include "client/pipe_client.h"
#include "pattern_check.h"
#include "pattern_window.h"
#include "protocol/answer.h"

namespace tolm {
namespace {

const std::string kToken(64, 'a');

using testing::poll;
using testing::program_directory;
std::wstring helper_exe() { return program_directory() + L"tolm-capture-helper.exe"; }

// The process ids of every running `name`; with `parent`, only of that process's children.
std::vector<DWORD> processes(const wchar_t* name, DWORD parent = 0) {
  std::vector<DWORD> found;
  const UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry{.dwSize = sizeof entry};
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (_wcsicmp(entry.szExeFile, name) == 0 &&
        (parent == 0 || entry.th32ParentProcessID == parent)) {
      found.push_back(entry.th32ProcessID);
    }
  }
  return found;
}
std::vector<DWORD> helpers(DWORD parent = 0) {
  return processes(L"tolm-capture-helper.exe", parent);
}

// The one worker of the service process `service_pid`, or 0 when there is not exactly one.
DWORD one_worker_of(DWORD service_pid) {
  std::vector<DWORD> found;
  poll([&] { return (found = helpers(service_pid)).size() == 1; }, 60000);
  return found.size() == 1 ? found[0] : 0;
}

std::wstring image_of(DWORD pid) {
  const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  wchar_t path[MAX_PATH];
  DWORD size = MAX_PATH;
  return process && QueryFullProcessImageNameW(process.get(), 0, path, &size)
             ? std::wstring(path, size) : L"";
}

using ScHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, decltype(&CloseServiceHandle)>;

ScHandle open_service(SC_HANDLE scm) {
  return {OpenServiceW(scm, L"TolmCaptureHelper", SERVICE_ALL_ACCESS), &CloseServiceHandle};
}

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
// The service's process once it runs, or 0.
DWORD running_pid(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS s{};
  poll([&] { return (s = query(service)).dwCurrentState == SERVICE_RUNNING && s.dwProcessId; },
       60000, 50);
  return s.dwCurrentState == SERVICE_RUNNING ? s.dwProcessId : 0;
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

void expect_pattern_frame() {
  const client::Exchange frame = ask_when_up(frame_request(kToken));
  const Answer response = read_answer(frame.bytes, true);
  ASSERT_EQ(response.kind, AnswerKind::kFrame) << frame.error << response.problem;
  testing::expect_pattern(response.frame);
}

void write_token() {
  (void)create_directories(kDataDirectory);
  ASSERT_TRUE(write_whole_file(data_file("capture.auth"), kToken));
}

// Two service managers in one prefix answer at random: every test here would be meaningless.
void expect_one_service_manager() {
  ASSERT_EQ(processes(L"services.exe").size(), 1u)
      << "this Wine prefix runs more than one services.exe; set it up as run-in-wine.sh does";
}

// Outside the service control manager the dispatcher fails at once and the same process serves.
TEST(NotAService, WithoutAFlagTheHelperServesInItsOwnProcess) {
  write_token();
  for (const wchar_t* arguments : {L"", L" --Worker -C --worker=1 -cx /c"}) {
    const testing::RunningChild helper(L"\"" + helper_exe() + L"\"" + arguments);
    const client::Exchange status = ask_when_up(status_request(kToken));
    EXPECT_EQ(read_answer(status.bytes, false).kind, AnswerKind::kStatus)
        << status.error << status.bytes;
    EXPECT_TRUE(helper.running());
  }
}

std::string file_version(const std::wstring& path) {
  std::vector<BYTE> data(GetFileVersionInfoSizeW(path.c_str(), nullptr));
  VS_FIXEDFILEINFO* info = nullptr;
  UINT size = 0;
  if (data.empty() || !GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(data.size()),
                                           data.data()) ||
      !VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &size)) {
    return "";
  }
  return std::to_string(HIWORD(info->dwFileVersionMS)) + "." +
         std::to_string(LOWORD(info->dwFileVersionMS)) + "." +
         std::to_string(HIWORD(info->dwFileVersionLS));
}

// `package` relative to the build's top directory, with forward slashes.
DWORD msiexec(const std::wstring& action, std::wstring package) {
  std::ranges::replace(package, L'/', L'\\');
  const std::wstring path = program_directory() + L"..\\" + package;
  return testing::run_child(L"msiexec.exe " + action + L" \"" + path + L"\" /qn").exit_code;
}

std::wstring check_command(int seconds) {
  return L"\"C:\\Program Files\\Tolm\\tolm-capture-client.exe\" check --seconds " +
         std::to_wstring(seconds);
}

// Bound to a process that may end: a handle taken now still tells how it ended.
UniqueHandle watch(DWORD pid) {
  constexpr DWORD kAccess = SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE;
  return UniqueHandle(OpenProcess(kAccess, FALSE, pid));
}

DWORD exit_code_of(const UniqueHandle& process) {
  DWORD code = 0xFFFFFFFF;
  if (WaitForSingleObject(process.get(), 30000) == WAIT_OBJECT_0) {
    GetExitCodeProcess(process.get(), &code);
  }
  return code;
}

// The service's life as an administrator sees it: installed by its package, its worker replaced,
// upgraded by a later package, stopped, killed, and removed.
TEST(Service, InstalledUpgradedStoppedAndRemovedByItsPackageWithOneWorkerAllAlong) {
  expect_one_service_manager();
  write_token();
  test_pattern::PatternWindow pattern;
  ASSERT_TRUE(pattern.start());
  const std::wstring installed = L"C:\\Program Files\\Tolm\\tolm-capture-helper.exe";
  const ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS), &CloseServiceHandle);
  ASSERT_TRUE(scm);

  ASSERT_EQ(msiexec(L"/i", TOLM_PACKAGE), 0u);
  ScHandle service = open_service(scm.get());
  ASSERT_TRUE(service) << GetLastError();
  const DWORD first_pid = running_pid(service.get());
  ASSERT_NE(first_pid, 0u);
  EXPECT_EQ(image_of(first_pid), installed);
  // Accepting STOP only, as the service's single report before its stop says.
  EXPECT_EQ(query(service.get()).dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP));
  const DWORD first_worker = one_worker_of(first_pid);
  EXPECT_EQ(image_of(first_worker), installed);
  EXPECT_EQ(file_version(installed), TOLM_VERSION);
  std::vector<BYTE> config(8192);
  DWORD needed = 0;
  ASSERT_TRUE(QueryServiceConfigW(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(
                                      config.data()), static_cast<DWORD>(config.size()), &needed));
  const auto& c = *reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data());
  EXPECT_EQ(c.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(c.dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
  EXPECT_EQ(_wcsicmp(c.lpServiceStartName, L"LocalSystem"), 0) << from_wide(c.lpServiceStartName);
  expect_pattern_frame();
  const testing::ChildRun status = testing::run_child(
      L"\"C:\\Program Files\\Tolm\\tolm-capture-client.exe\" status");
  EXPECT_EQ(status.exit_code, 0u) << status.err;
  EXPECT_TRUE(status.out.starts_with(R"({"ok":true,)")) << status.out;

  // A worker that dies is replaced; a check running meanwhile catches the service's launch note.
  testing::ChildRun during;
  std::thread checking([&] { during = testing::run_child(check_command(6)); });
  Sleep(2000);
  const UniqueHandle first_process = watch(first_worker);
  ASSERT_TRUE(first_process && TerminateProcess(first_process.get(), 7));
  DWORD replaced = 0;
  ASSERT_TRUE(poll(
      [&] {
        const std::vector<DWORD> now = helpers(first_pid);
        replaced = now.size() == 1 && now[0] != first_worker ? now[0] : 0;
        return replaced != 0;
      },
      15000, 10));
  checking.join();
  EXPECT_NE(during.out.find("ok       service  TolmCaptureHelper: running, starts automatically, "
                            "process " + std::to_string(first_pid) + "\r\n"),
            std::string::npos) << during.out;
  const std::string worker = "process " + std::to_string(first_worker) + ", ";
  EXPECT_NE(during.out.find(worker + from_wide(installed)), std::string::npos) << during.out;
  EXPECT_NE(during.out.find("service note \"worker session=1\" seen "), std::string::npos)
      << during.out;

  // Controls other than STOP leave the service and its worker running. Wine's SCM answers
  // success for user codes whatever the handler returns, so only the effect can be checked.
  SERVICE_STATUS control{};
  EXPECT_TRUE(ControlService(service.get(), SERVICE_CONTROL_INTERROGATE, &control));
  for (const DWORD user_code : {128u, 255u}) ControlService(service.get(), user_code, &control);
  Sleep(1500);  // more than one poll of the supervisor
  EXPECT_EQ(query(service.get()).dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(helpers(first_pid), std::vector<DWORD>{replaced});

  // The later package replaces the earlier one, and its service runs the later file.
  service.reset();  // a service marked for deletion stays while a handle to it is open
  ASSERT_EQ(msiexec(L"/i", TOLM_NEXT_PACKAGE), 0u);
  EXPECT_EQ(file_version(installed), TOLM_NEXT_VERSION);
  service = open_service(scm.get());
  ASSERT_TRUE(service) << GetLastError();
  const DWORD next_pid = running_pid(service.get());
  ASSERT_NE(next_pid, 0u);
  EXPECT_NE(next_pid, first_pid);
  EXPECT_EQ(image_of(next_pid), installed);
  const UniqueHandle next_worker = watch(one_worker_of(next_pid));
  ASSERT_TRUE(next_worker);
  EXPECT_TRUE(poll([] { return helpers().size() == 2; }, 10000))
      << "a helper of the earlier package is still running";
  expect_pattern_frame();

  // STOP, through the API (Wine's sc.exe stop answered "not active" here while it ran): the
  // worker and the service end, the service with exit code 0, and no server is left.
  const UniqueHandle next_process = watch(next_pid);
  ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &control)) << GetLastError();
  ASSERT_TRUE(reaches(service.get(), SERVICE_STOPPED));
  EXPECT_EQ(query(service.get()).dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(query(service.get()).dwControlsAccepted, 0u);
  EXPECT_EQ(exit_code_of(next_worker), 0u);
  EXPECT_EQ(exit_code_of(next_process), 0u);
  EXPECT_NE(client::exchange(status_request(kToken), 2000).failure, client::Failure::kNone)
      << "a server outlived the service";
  const testing::ChildRun stopped = testing::run_child(check_command(1));
  EXPECT_EQ(stopped.exit_code, 9u);
  EXPECT_TRUE(stopped.out.ends_with("PROBLEM: the service is stopped: sc.exe start "
                                    "TolmCaptureHelper\r\n")) << stopped.out;

  // However the service ends, even killed, its worker ends with it.
  ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr)) << GetLastError();
  const UniqueHandle started = watch(running_pid(service.get()));
  const UniqueHandle its_worker = watch(one_worker_of(GetProcessId(started.get())));
  ASSERT_TRUE(started && its_worker && TerminateProcess(started.get(), 1));
  EXPECT_EQ(WaitForSingleObject(its_worker.get(), 10000), WAIT_OBJECT_0);

  service.reset();
  ASSERT_EQ(msiexec(L"/x", TOLM_NEXT_PACKAGE), 0u);
  EXPECT_FALSE(open_service(scm.get()));
  EXPECT_TRUE(poll([] { return helpers().empty(); }, 10000));
  EXPECT_EQ(GetFileAttributesW(L"C:\\Program Files\\Tolm"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(read_whole_file(data_file("capture.auth")), kToken);
}

}  // namespace
}  // namespace tolm
