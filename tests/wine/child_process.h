// Runs a program to its end with its output in files, read back afterwards. For tests under Wine.
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
  wchar_t path[MAX_PATH];
  const std::wstring exe(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
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

struct ChildRun {
  DWORD exit_code = 0xFFFFFFFF;
  std::string out;
  std::string err;
};

// `command_line` whole, the program's path first; the output files go into `scratch_directory`.
inline ChildRun run_child(const std::wstring& command_line, const std::wstring& scratch_directory) {
  ChildRun run;
  const std::wstring out_path = scratch_directory + L"child-out.txt";
  const std::wstring err_path = scratch_directory + L"child-err.txt";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const UniqueFile out(CreateFileW(out_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                   CREATE_ALWAYS, 0, nullptr));
  const UniqueFile err(CreateFileW(err_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                   CREATE_ALWAYS, 0, nullptr));
  EXPECT_TRUE(out && err);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = out.get();
  si.hStdError = err.get();
  PROCESS_INFORMATION pi{};
  std::wstring line = command_line;
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                      &pi)) {
    ADD_FAILURE() << "cannot start " << from_wide(command_line) << ": " << GetLastError();
    return run;
  }
  CloseHandle(pi.hThread);
  const UniqueHandle process(pi.hProcess);
  if (WaitForSingleObject(process.get(), 60000) != WAIT_OBJECT_0) {
    ADD_FAILURE() << "did not end: " << from_wide(command_line);
    TerminateProcess(process.get(), 1);  // not left running into the next test
    WaitForSingleObject(process.get(), 10000);
  }
  GetExitCodeProcess(process.get(), &run.exit_code);
  run.out = read_whole_file(from_wide(out_path)).value_or("");
  run.err = read_whole_file(from_wide(err_path)).value_or("");
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
  std::wstring command =
      L"Z:\\bin\\ln -s \"" + to_wide(target_path) + L"\" \"" + to_wide(link_path) + L"\"";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &si, &pi));
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  constexpr DWORD kFolderLink = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
  for (int i = 0; i < 500 && GetFileAttributesW(link.c_str()) != kFolderLink; ++i) Sleep(20);
  ASSERT_EQ(GetFileAttributesW(link.c_str()), kFolderLink);
}

// `name` made a second name of `victim`; retried, since the helper may write `name` meanwhile.
inline bool plant_hard_link(const std::string& name, const std::string& victim) {
  for (int i = 0; i < 100; ++i) {
    DeleteFileW(to_wide(name).c_str());
    if (CreateHardLinkW(to_wide(name).c_str(), to_wide(victim).c_str(), nullptr)) return true;
  }
  return false;
}

inline DWORD link_count(const std::string& path) {
  const UniqueFile file(CreateFileW(to_wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  return file && GetFileInformationByHandle(file.get(), &info) ? info.nNumberOfLinks : 0;
}

}  // namespace tolm::testing
