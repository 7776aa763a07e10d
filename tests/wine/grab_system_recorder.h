// A GrabSystem that forwards to Win32, records every call with its handle and arguments, and fails
// the calls a test asks it to fail (Wine never fails GetDC, CreateCompatibleDC and the like).
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "capture/frame_grabber.h"

namespace tolm::testing {

struct Call {
  std::string name;
  std::uintptr_t handle = 0;  // the handle made or released
  std::vector<long long> args;
  BOOL result = TRUE;
};

struct Faults {
  bool set_thread_desktop = false;
  bool zero_metrics = false;
  bool get_dc = false;
  bool create_dc = false;
  bool create_bitmap = false;
  bool blit_with_captureblt = false;
  bool blit_plain = false;
  bool get_di_bits = false;
  std::vector<RECT> monitors;  // when set, the monitor enumeration reports these instead
};

// One recorder for the process: the grab's function table has no room for a context pointer.
struct Recorder {
  std::vector<Call> calls;
  Faults faults;
  void reset() { *this = Recorder{}; }
  [[nodiscard]] std::vector<std::string> names() const;
  // The release calls (CloseDesktop, ReleaseDC, DeleteDC, DeleteObject) in order.
  [[nodiscard]] std::vector<std::string> releases() const;
  [[nodiscard]] std::vector<Call> named(const std::string& name) const;
};

Recorder& recorder();
const GrabSystem& recording_grab_system();

}  // namespace tolm::testing
