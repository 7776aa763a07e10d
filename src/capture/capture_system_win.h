// Windows only. The capture loop's system on Win32.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "base/handles.h"
#include "base/aftercare.h"
#include "capture/capture_loop.h"
#include "capture/frame_grabber.h"
#include "capture/desktop_tracker_win.h"

namespace tolm {

// Made and called on the capture thread (the grab attaches that thread to the desktops it
// captures), except for what it hands to its helper thread (Aftercare): the capture.desktop and
// status writes, the token upkeep and the freeing of replaced frames. The capture thread alone uses
// `grabber_`, `timer_` and `counter_frequency_`; the helper thread reads `tracker_` (which writes
// through it, and is read on the capture thread only after those writes are done) and `upkeep_`
// (set once). `aftercare_` is declared after what its jobs use, so that it is destroyed first and
// finishes its jobs while they are still there.
class Win32CaptureSystem final : public CaptureSystem {
 public:
  // `upkeep`, when given, runs after every status write: the server keeps its token file there.
  explicit Win32CaptureSystem(void (*upkeep)() = nullptr);

  CaptureTarget read_capture_target() override;
  std::vector<DesktopCandidate> candidate_desktops() override;
  std::string input_desktop_name() override;
  GrabResult grab(const std::optional<std::string>& desktop, std::uint32_t width,
                  std::uint32_t height, Pixels buffer) override;
  void remember_desktop(std::string_view name) override;
  void write_last_error(std::string_view text) override;
  void write_status(const StatusSnapshot& snapshot) override;
  void settle() override;
  void release_frame(std::shared_ptr<const Frame> frame) override;
  std::uint64_t monotonic_ns() override;  // QueryPerformanceCounter
  // A high-resolution waitable timer; Sleep, rounded up to whole milliseconds, where the system
  // has none.
  void sleep_ns(std::uint64_t ns) override;
  std::uint64_t unix_ms() override;

 private:
  void (*upkeep_)();
  FrameGrabber grabber_;
  DesktopTracker tracker_;
  // The capture.desktop and status writes and the freeing of replaced frames. A read of
  // capture.desktop waits for the writes of it handed over before, so every pass sees what the
  // passes before it wrote.
  Aftercare aftercare_;
  UniqueHandle timer_;
  std::uint64_t counter_frequency_ = 1;
};

// The body of a capture thread: the loop over the Win32 system, made on this thread. Started as a
// thread's function, whose copies of `stop` and `state` live as long as it runs.
void run_capture_loop(const StopFlag& stop, const std::shared_ptr<CaptureState>& state,
                      void (*upkeep)());

}  // namespace tolm
