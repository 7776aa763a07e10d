// Windows only. A GrabSystem that forwards to Win32, records the releases, the desktops opened and
// the copies made, and fails the calls a test names (Wine never fails GetDC and the like).
#pragma once

#include <windows.h>

#include <set>
#include <string>
#include <vector>

#include "capture/frame_grabber.h"

namespace tolm::testing {

// One recorder for the process: the grab's function table has no room for a context pointer.
struct Recorder {
  // Each release, in order, by the call's name, with " failed" when the system refused it.
  std::vector<std::string> releases;
  // "OpenInputDesktop 0x181", "SetStretchBltMode 0x3", "BitBlt 0 0 1920 1080 0 0 0x40cc0020"
  std::vector<std::string> log;
  // Call names, "CaptureBlt" and "PlainBlt" for the two copies, "metrics" for a screen of no
  // size, and "GetDIBits half" for a copy of the top half of the rows only.
  std::set<std::string> failing;
  std::vector<RECT> monitors;  // when set, the monitor enumeration reports these instead
};

Recorder& recorder();
const GrabSystem& recording_grab_system();

}  // namespace tolm::testing
