#include "base/system_error.h"

#include <cstdio>

#include "base/handles.h"
#include "base/text.h"
#include "base/win_text.h"

namespace tolm {

std::string system_error_text(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
  const UniqueLocal owned(buffer);
  std::wstring_view message = n != 0 && buffer != nullptr ? std::wstring_view(buffer, n) : L"";
  // Every White_Space character is in the BMP, so a UTF-16 unit test is exact.
  while (!message.empty() && is_white_space(message.back())) message.remove_suffix(1);
  const std::string suffix = "os error " + std::to_string(code);
  return message.empty() ? suffix : from_wide(message) + " (" + suffix + ")";
}

void fatal_stop(std::string_view message) {
  const std::string line = std::string(message) + "\n";
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
  OutputDebugStringW(to_wide(line).c_str());
  // Not std::exit: other threads are still running, and static destructors must not race them.
  ExitProcess(1);
}

}  // namespace tolm
