// Portable. The capture thread: one pass per 16 ms at most, each trying the desktops in order and
// publishing the best picture; the system comes in through `CaptureSystem`.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/stop_flag.h"
#include "protocol/control_files.h"
#include "capture/desktop_tracker.h"
#include "capture/frame.h"

namespace tolm {

// What a pass asks of the system. Production uses the Win32 one (capture_system_win.h); tests
// play the system's part.
class CaptureSystem {
 public:
  virtual ~CaptureSystem() = default;
  virtual CaptureTarget read_capture_target() = 0;
  virtual std::vector<DesktopCandidate> candidate_desktops() = 0;
  virtual std::string input_desktop_name() = 0;
  // `desktop` empty: the input desktop. `buffer`: memory the picture may be put in.
  virtual GrabResult grab(const std::optional<std::string>& desktop, std::uint32_t width,
                          std::uint32_t height, Pixels buffer) = 0;
  virtual void remember_desktop(std::string_view name) = 0;  // capture.desktop
  virtual void write_last_error(std::string_view text) = 0;  // capture.last-error.txt
  // May finish after it returns, in the order of the calls; `settle` waits for it.
  virtual void write_status(const StatusSnapshot& snapshot) = 0;
  virtual void settle() {}
  // Takes the frame a publication replaced; freeing megabytes need not hold up the pass.
  virtual void release_frame(std::shared_ptr<const Frame> frame) { frame.reset(); }
  virtual std::uint64_t monotonic_ns() = 0;
  virtual void sleep_ns(std::uint64_t ns) = 0;
  // The status's clock: ms since 1970.
  virtual std::uint64_t unix_ms() = 0;
  // While nobody asks for frames: waits up to `ns`, or until a frame request other than the
  // `seen` ones comes.
  virtual void wait_for_request(const CaptureState& state, std::uint64_t seen, std::uint64_t ns) {
    state.wait_for_request(seen, std::chrono::nanoseconds(ns));
  }
};

inline constexpr std::uint64_t kPassNs = 16'000'000;
inline constexpr std::uint32_t kStatusEveryPasses = 15;
// The status is written at least this often too, so that it is never older than a quarter second
// when passes are slow.
inline constexpr std::uint64_t kStatusEveryNs = 250'000'000;
// With no frame request for this long, a pass only follows the input desktop, four times a second;
// the next request wakes the loop at once.
inline constexpr std::uint64_t kIdleAfterNs = 2'000'000'000;
inline constexpr std::uint64_t kIdlePassNs = 250'000'000;
inline constexpr int kEnoughBrightSamples = 8;

class CaptureLoop {
 public:
  explicit CaptureLoop(CaptureSystem& system) : system_(system) {}

  // The loop of the capture thread. Runs passes until `stop` or the state's `stopped` is seen
  // between two passes, then writes the status once more and marks the state stopped. The thread's
  // body (run_capture_loop) holds the two references for as long as this runs.
  void run(const StopFlag& stop, const std::shared_ptr<CaptureState>& state);

  // One pass. Every failure is absorbed: it only feeds capture.last-error.txt.
  void capture_once(CaptureState& state);

  // A pass while nobody asks for frames: the input desktop's name, as after a pass without a
  // picture; no grab, nothing published.
  void follow_input_desktop(CaptureState& state);

 private:
  CaptureSystem& system_;
};

}  // namespace tolm
