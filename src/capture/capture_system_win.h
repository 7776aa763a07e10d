// The capture loop's system on Win32. Windows only.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/handles.h"
#include "capture/capture_loop.h"
#include "capture/frame_grabber.h"

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
                  std::uint32_t height) override;
  void remember_desktop(std::string_view name) override;
  void write_last_error(std::string_view text) override;
  void write_status(const CaptureState& state) override;
  void release_frame(std::shared_ptr<const Frame> frame) override;
  std::uint64_t monotonic_ns() override;  // QueryPerformanceCounter
  // A high-resolution waitable timer; Sleep, rounded up to whole milliseconds, where the system
  // has none.
  void sleep_ns(std::uint64_t ns) override;

 private:
  // Work that must happen but need not hold up a pass: the capture.desktop writes, in order, and
  // the freeing of replaced frames. Done on a thread of its own; reads of capture.desktop wait for
  // writes still pending, so every pass sees what the passes before it wrote.
  class Aftercare {
   public:
    explicit Aftercare(const DesktopTracker& tracker);
    ~Aftercare();  // finishes what is pending
    Aftercare(const Aftercare&) = delete;
    Aftercare& operator=(const Aftercare&) = delete;
    void remember(std::string_view name);
    void release(std::shared_ptr<const Frame> frame);
    void wait_for_writes();

   private:
    void run();
    const DesktopTracker& tracker_;
    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
    std::vector<std::string> names_;
    std::vector<std::shared_ptr<const Frame>> frames_;
    bool writing_ = false;
    bool quit_ = false;
    std::thread thread_;
  };

  void (*upkeep_)();
  FrameGrabber grabber_;
  DesktopTracker tracker_;
  Aftercare aftercare_{tracker_};
  UniqueHandle timer_;
  std::uint64_t counter_frequency_ = 1;
};

// The body of a capture thread: the loop over the Win32 system, made on this thread.
void run_capture_loop(StopFlag stop, std::shared_ptr<CaptureState> state,
                      void (*upkeep)());

}  // namespace tolm
