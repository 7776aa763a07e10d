// tolm-capture-helper.exe: serves the console session's picture over \\.\pipe\tolm-capture.
#include <windows.h>

#include <shellapi.h>

#include <string>
#include <vector>

#include "base/win_text.h"
#include "entry.h"
#include "server/capture_server.h"
#include "service/service_host_win.h"

namespace {

// Split by the standard rules for quotes and backslashes, so a quoted flag matches like a bare one.
std::vector<std::string> command_line_arguments() {
  std::vector<std::string> arguments;
  int count = 0;
  if (LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count); argv != nullptr) {
    for (int i = 0; i < count; ++i) arguments.push_back(tolm::from_wide(argv[i]));
    LocalFree(argv);
  }
  return arguments;
}

}  // namespace

int main() {
  const std::vector<std::string> arguments = command_line_arguments();
  // A flag skips the service control manager; without one it gets the first try, and a process it
  // did not start serves in-process instead, silently.
  if (tolm::asks_for_in_process_server(arguments) || !tolm::run_dispatcher()) {
    tolm::RunCaptureServer(tolm::StopFlag{});
  }
  return 0;
}
