// Windows only. Children of the tests under Wine, polling, and links as an attacker plants them.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "base/files.h"
#include "base/handles.h"
#include "base/win_text.h"

namespace tolm::testing {

// Where this test program is, with a trailing backslash: the programs under test are beside it.
inline std::wstring program_directory() {
  const std::wstring exe = executable_path().value_or(L"");
  return exe.substr(0, exe.find_last_of(L'\\') + 1);
}

// True once `done()` holds, checked every `step_ms` for up to `bound_ms`. The bounds tests pass
// are generous: they catch a hang, not a slow machine.
template <class Condition>
bool poll(Condition&& done, ULONGLONG bound_ms, DWORD step_ms = 20) {
  for (const ULONGLONG end = GetTickCount64() + bound_ms; !done(); Sleep(step_ms)) {
    if (GetTickCount64() > end) return false;
  }
  return true;
}

// `command_line` whole, the program's path first; standard output and error into `out` and `err`
// when given (inherited), else wherever this program's go.
inline UniqueProcess start_child(std::wstring command_line, HANDLE out = nullptr,
                                 HANDLE err = nullptr) {
  STARTUPINFOW si{.cb = sizeof si};
  if (out != nullptr) {
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = out;
    si.hStdError = err;
  }
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, out != nullptr, 0, nullptr,
                      nullptr, &si, &pi)) {
    ADD_FAILURE() << "cannot start " << from_wide(command_line) << ": " << GetLastError();
    return {};
  }
  return UniqueProcess(pi);
}

// A child that is ended, if it still runs, when this goes.
class RunningChild {
 public:
  explicit RunningChild(const std::wstring& command_line) : child_(start_child(command_line)) {}
  ~RunningChild() {
    if (!child_.process) return;
    TerminateProcess(child_.process.get(), 0);
    WaitForSingleObject(child_.process.get(), 10000);
  }
  RunningChild(const RunningChild&) = delete;
  RunningChild& operator=(const RunningChild&) = delete;
  [[nodiscard]] bool running() const {
    return child_.process && WaitForSingleObject(child_.process.get(), 0) == WAIT_TIMEOUT;
  }

 private:
  UniqueProcess child_;
};

struct ChildRun {
  DWORD exit_code = 0xFFFFFFFF;
  std::string out;
  std::string err;
};

// Runs `command_line` to its end, its outputs in files of this prefix's temporary folder (test
// programs run side by side, each in a Wine prefix of its own), read back after.
inline ChildRun run_child(const std::wstring& command_line) {
  ChildRun run;
  wchar_t temp[MAX_PATH + 1] = {};
  const std::wstring scratch(temp, GetTempPathW(MAX_PATH + 1, temp));
  const std::wstring out_path = scratch + L"child-out.txt";
  const std::wstring err_path = scratch + L"child-err.txt";
  {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const auto create = [&](const std::wstring& path) {
      return UniqueFile(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                    CREATE_ALWAYS, 0, nullptr));
    };
    const UniqueFile out = create(out_path);
    const UniqueFile err = create(err_path);
    const UniqueProcess child = start_child(command_line, out.get(), err.get());
    if (!child.process) return run;
    if (WaitForSingleObject(child.process.get(), 60000) != WAIT_OBJECT_0) {
      ADD_FAILURE() << "did not end: " << from_wide(command_line);
      TerminateProcess(child.process.get(), 1);  // not left running into the next test
      WaitForSingleObject(child.process.get(), 10000);
    }
    GetExitCodeProcess(child.process.get(), &run.exit_code);
  }
  run.out = read_whole_file(from_wide(out_path)).value_or("");
  run.err = read_whole_file(from_wide(err_path)).value_or("");
  DeleteFileW(out_path.c_str());
  DeleteFileW(err_path.c_str());
  return run;
}

// Links as a local attacker plants them. Wine makes no symbolic link itself, so a folder link is
// made from Linux, with the Linux path Wine gives each Windows one.
inline std::string unix_path(const std::wstring& windows_path) {
  using Convert = char*(CDECL*)(LPCWSTR);
  const auto convert = reinterpret_cast<Convert>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  char* path = convert != nullptr ? convert(windows_path.c_str()) : nullptr;
  const std::string out = path != nullptr ? path : "";
  if (path != nullptr) HeapFree(GetProcessHeap(), 0, path);
  return out;
}

// Wine does not wait for a Linux program it starts, so the link is watched for instead.
inline void link_folder_from_linux(const std::wstring& link, const std::wstring& target) {
  const std::string target_path = unix_path(target);
  const std::string link_path = unix_path(link);
  ASSERT_FALSE(target_path.empty() || link_path.empty());
  (void)start_child(L"Z:\\bin\\ln -s \"" + to_wide(target_path) + L"\" \"" + to_wide(link_path) +
                    L"\"");
  constexpr DWORD kFolderLink = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
  ASSERT_TRUE(poll([&] { return GetFileAttributesW(link.c_str()) == kFolderLink; }, 10000));
}

// What `make` puts at `name` (it is given the wide name and says whether it held), after what is
// there is deleted; retried, since the helper may write its file at `name` meanwhile.
template <class Make>
bool plant(const std::string& name, Make&& make) {
  const std::wstring wide = to_wide(name);
  for (int i = 0; i < 100; ++i) {
    DeleteFileW(wide.c_str());
    if (make(wide.c_str())) return true;
  }
  return false;
}

// `name` made a second name of `victim`.
inline bool plant_hard_link(const std::string& name, const std::string& victim) {
  return plant(name, [&](const wchar_t* at) {
    return CreateHardLinkW(at, to_wide(victim).c_str(), nullptr) != FALSE;
  });
}

inline DWORD link_count(const std::string& path) {
  const UniqueFile file(CreateFileW(to_wide(path).c_str(), 0,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  return file && GetFileInformationByHandle(file.get(), &info) ? info.nNumberOfLinks : 0;
}

}  // namespace tolm::testing
