#include "base/locations_win.h"

#include <windows.h>

#include <optional>

#include "base/data_directory.h"
#include "base/win_text.h"

namespace tolm {

namespace {

using GetTempPathFunction = DWORD(WINAPI*)(DWORD, LPWSTR);

// GetTempPath2W where kernel32 has it (it gives SYSTEM its own directory), else GetTempPathW.
GetTempPathFunction temp_path_function() {
  if (HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll"); kernel32 != nullptr) {
    if (FARPROC found = GetProcAddress(kernel32, "GetTempPath2W"); found != nullptr) {
      return reinterpret_cast<GetTempPathFunction>(reinterpret_cast<void (*)()>(found));
    }
  }
  return &::GetTempPathW;
}

// The temporary directory with its trailing backslash, or nothing when the system reports none.
std::optional<std::string> temp_directory() {
  const GetTempPathFunction get_temp_path = temp_path_function();
  std::wstring buffer(MAX_PATH + 1, L'\0');
  DWORD n = get_temp_path(static_cast<DWORD>(buffer.size()), buffer.data());
  if (n > buffer.size()) {  // too small: n is the size needed, with the terminator
    buffer.assign(n, L'\0');
    n = get_temp_path(static_cast<DWORD>(buffer.size()), buffer.data());
  }
  if (n == 0 || n >= buffer.size()) return std::nullopt;
  buffer.resize(n);
  if (buffer.back() != L'\\') buffer += L'\\';
  return from_wide(buffer);
}

}  // namespace

std::vector<std::string> status_file_paths() {
  std::vector<std::string> paths{data_file(kStatusFileName),
                                 std::string(kWindowsTempDirectory) + "\\" + kStatusFileName};
  if (std::optional<std::string> temp = temp_directory()) paths.push_back(*temp + kStatusFileName);
  return paths;
}

}  // namespace tolm
