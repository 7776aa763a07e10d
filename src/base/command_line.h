// Windows only. The program's arguments as UTF-8; link shell32.
#pragma once

#include <windows.h>

#include <shellapi.h>

#include <string>
#include <vector>

#include "base/handles.h"
#include "base/win_text.h"

namespace tolm {

// Split by the standard rules for quotes and backslashes, so a quoted flag matches like a bare one.
[[nodiscard]] inline std::vector<std::string> command_line_arguments() {
  std::vector<std::string> arguments;
  int count = 0;
  LPWSTR* const argv = CommandLineToArgvW(GetCommandLineW(), &count);
  const UniqueLocal owned(argv);
  for (int i = 0; argv != nullptr && i < count; ++i) arguments.push_back(from_wide(argv[i]));
  return arguments;
}

}  // namespace tolm
