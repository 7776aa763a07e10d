// Windows only. Starts tolm-test-pattern.exe (next to the running program) and waits until it has
// painted.
#pragma once

#include <windows.h>

#include <string>

namespace tolm::test_pattern {

class PatternWindow {
 public:
  // Returns false when the program could not be started or did not paint within 20 seconds.
  // `changing_ms`: its corner takes another colour that often (0: never).
  bool start(unsigned changing_ms = 0) {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring exe(path, n);
    exe = exe.substr(0, exe.find_last_of(L'\\') + 1) + L"tolm-test-pattern.exe";
    const std::wstring event_name =
        L"tolm-test-pattern-ready-" + std::to_wstring(GetCurrentProcessId());
    ready_ = CreateEventW(nullptr, TRUE, FALSE, event_name.c_str());
    std::wstring command = L"\"" + exe + L"\" " + event_name;
    if (changing_ms != 0) command += L" --changing " + std::to_wstring(changing_ms);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    if (!CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &si, &process_)) {
      return false;
    }
    CloseHandle(process_.hThread);
    const HANDLE waits[] = {ready_, process_.hProcess};
    return WaitForMultipleObjects(2, waits, FALSE, 20000) == WAIT_OBJECT_0;
  }

  void stop() {
    if (process_.hProcess != nullptr) {
      TerminateProcess(process_.hProcess, 0);
      WaitForSingleObject(process_.hProcess, 5000);
      CloseHandle(process_.hProcess);
      process_.hProcess = nullptr;
    }
    if (ready_ != nullptr) CloseHandle(ready_);
    ready_ = nullptr;
  }

  ~PatternWindow() { stop(); }

 private:
  HANDLE ready_ = nullptr;
  PROCESS_INFORMATION process_{};
};

}  // namespace tolm::test_pattern
