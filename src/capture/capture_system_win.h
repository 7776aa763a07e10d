// Windows only. The capture loop's system on Win32.
#pragma once

#include <windows.h>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/handles.h"
#include "capture/capture_loop.h"
#include "capture/frame_grabber.h"
#include "capture/desktop_tracker_win.h"

namespace tolm {

// Lives on the capture thread: the grab attaches that thread to the desktops it captures.
class Win32CaptureSystem final : public CaptureSystem {
 public:
  // `upkeep`, when given, runs after every status write: the server keeps its token file there.
  explicit Win32CaptureSystem(void (*upkeep)() = nullptr);

  CaptureTarget read_capture_target() override;
  std::vector<DesktopCandidate> candidate_desktops() override;
  std::string input_desktop_name() override;
  GrabResult grab(const std::optional<std::string>& desktop, std::uint32_t width,
                  std::uint32_t height, std::vector<std::uint8_t> buffer) override;
  void remember_desktop(std::string_view name) override;
  void write_last_error(std::string_view text) override;
  void write_status(const StatusSnapshot& snapshot) override;
  void settle() override;
  void release_frame(std::shared_ptr<const Frame> frame) override;
  std::uint64_t monotonic_ns() override;  // QueryPerformanceCounter
  // A high-resolution waitable timer; Sleep, rounded up to whole milliseconds, where the system
  // has none.
  void sleep_ns(std::uint64_t ns) override;

 private:
  // Work that must happen but need not hold up a pass: the capture.desktop and status writes and
  // the freeing of replaced frames, done in the order they were handed over on a thread of its
  // own. A read of capture.desktop waits for the writes of it handed over before, so every pass
  // sees what the passes before it wrote.
  class Aftercare {
   public:
    Aftercare();
    ~Aftercare();  // finishes what is pending
    Aftercare(const Aftercare&) = delete;
    Aftercare& operator=(const Aftercare&) = delete;
    // `marks`: a later `wait_for_marked` waits for this job.
    void post(std::function<void()> job, bool marks = false);
    void wait_for_marked();
    void wait_for_all();

   private:
    void run();
    void wait_until_done(std::uint64_t count);
    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
    std::deque<std::function<void()>> jobs_;
    std::uint64_t posted_ = 0;
    std::uint64_t done_ = 0;
    std::uint64_t marked_ = 0;  // jobs posted up to the last marked one
    bool quit_ = false;
    std::thread thread_;
  };

  void (*upkeep_)();
  FrameGrabber grabber_;
  DesktopTracker tracker_;
  Aftercare aftercare_;
  UniqueHandle timer_;
  std::uint64_t counter_frequency_ = 1;
};

// The body of a capture thread: the loop over the Win32 system, made on this thread.
void run_capture_loop(StopFlag stop, std::shared_ptr<CaptureState> state,
                      void (*upkeep)());

}  // namespace tolm
