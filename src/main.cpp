// tolm-capture-helper.exe: serves the console session's picture over \\.\pipe\tolm-capture.
#include <windows.h>

#include <string>
#include <vector>

#include "base/command_line.h"
#include "entry.h"
#include "server/capture_server.h"

int main() {
  const std::vector<std::string> arguments = tolm::command_line_arguments();
  if (tolm::asks_for_in_process_server(arguments)) {
    tolm::RunCaptureServer(tolm::StopFlag{});
    return 0;
  }
  // Without a flag the service control manager gets the first try; until the service host
  // exists, the server runs here as well.
  tolm::RunCaptureServer(tolm::StopFlag{});
  return 0;
}
