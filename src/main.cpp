// tolm-capture-helper.exe: serves the console session's picture over \\.\pipe\tolm-capture.
#include <windows.h>

#include <string>
#include <vector>

#include "base/command_line.h"
#include "entry.h"
#include "server/capture_server.h"
#include "service/service_host_win.h"

int main() {
  const std::vector<std::string> arguments = tolm::command_line_arguments();
  // A flag skips the service control manager; without one it gets the first try, and a process it
  // did not start serves in-process instead, silently.
  if (tolm::asks_for_in_process_server(arguments) || !tolm::run_dispatcher()) {
    tolm::RunCaptureServer(tolm::StopFlag{});
  }
  return 0;
}
