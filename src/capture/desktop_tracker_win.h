// Windows only. The desktops of the window station and the memory of the last good one.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "capture/desktop_tracker.h"

namespace tolm {

// Keeps no state of its own but the window station's handle; its memory is capture.desktop.
class DesktopTracker {
 public:
  DesktopTracker();

  // The input desktop, capture.desktop's name, the fixed names, then the enumerated ones.
  [[nodiscard]] std::vector<DesktopCandidate> candidate_desktops() const;

  // The input desktop's name, else the calling thread's desktop's; "Default" when unreadable.
  [[nodiscard]] std::string input_desktop_name() const;

  // Remembers the desktop that gave the best picture: creates the data directory and writes
  // capture.desktop. Failures are ignored.
  void remember_desktop(std::string_view name) const;

 private:
  // The process's window station changes only through SetProcessWindowStation, which this program
  // never calls, so it is asked for once rather than on every pass (a server round trip under
  // Wine). Not closed: the handle is the process's, not ours.
  HWINSTA station_;
};

}  // namespace tolm
