// pass.exe [PASSES]: where one capture pass spends its time, its grab excluded. The real capture
// loop runs passes against the real system, with the grab replaced by a stand-in that hands back
// a copy, in the memory the pass offers, of a frame grabbed beforehand; every other step (control
// file, candidate list, input desktop name, capture.desktop with its folder, publication, the
// status every 15th pass) is timed where the loop calls it. Bare grabs of the same size, each into
// the memory of the one before as the loop's are, run in the same process, alternating with the
// passes, and the pass's own work is printed as a share of one grab.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture_system_win.h"
#include "capture/control_files_win.h"
#include "pattern_window.h"
#include "timing.h"

namespace {

using bench::median;
using bench::now_ms;

enum Step {
  kTarget, kCandidates, kInputName, kGrab, kRemember, kLastError, kRelease, kStatus, kSteps
};
constexpr const char* kStepNames[kSteps] = {
    "control file (capture.target)", "candidate list", "input desktop name", "stand-in grab",
    "capture.desktop with folder", "capture.last-error.txt", "release of the replaced frame",
    "status (every 15th pass)"};

// The Win32 system with every call timed; the grab is the stand-in.
class TimedSystem final : public tolm::CaptureSystem {
 public:
  explicit TimedSystem(tolm::Frame ready) : ready_(std::move(ready)) {}

  std::vector<double> costs[kSteps];
  double in_pass_ms = 0;  // of the steps timed inside the current capture_once

  template <class F>
  auto timed(Step step, F&& f) {
    const double t0 = now_ms();
    auto result = f();
    const double spent = now_ms() - t0;
    costs[step].push_back(spent);
    if (step != kStatus) in_pass_ms += spent;
    return result;
  }


  tolm::CaptureTarget read_capture_target() override {
    return timed(kTarget, [&] { return real_.read_capture_target(); });
  }
  std::vector<tolm::DesktopCandidate> candidate_desktops() override {
    return timed(kCandidates, [&] { return real_.candidate_desktops(); });
  }
  std::string input_desktop_name() override {
    return timed(kInputName, [&] { return real_.input_desktop_name(); });
  }
  // Into the memory offered, as the real grab does, so that no buffer is freed outside the timing.
  tolm::GrabResult grab(const std::optional<std::string>&, std::uint32_t, std::uint32_t,
                        tolm::Pixels buffer) override {
    return timed(kGrab, [&] {
      if (buffer.size() != ready_.pixels.size()) buffer = tolm::own_pixels(ready_.pixels.size());
      std::copy(ready_.pixels.begin(), ready_.pixels.end(), buffer.begin());
      return tolm::GrabResult{tolm::Frame{std::move(buffer), ready_.desktop, ready_.backend,
                                          ready_.width, ready_.height, ready_.stride},
                              {}};
    });
  }
  void remember_desktop(std::string_view name) override {
    timed(kRemember, [&] { real_.remember_desktop(name); return 0; });
  }
  void write_last_error(std::string_view text) override {
    timed(kLastError, [&] { real_.write_last_error(text); return 0; });
  }
  void release_frame(std::shared_ptr<const tolm::Frame> frame) override {
    timed(kRelease, [&] { real_.release_frame(std::move(frame)); return 0; });
  }
  void write_status(const tolm::StatusSnapshot& snapshot) override {
    timed(kStatus, [&] { real_.write_status(snapshot); return 0; });
  }
  std::uint64_t monotonic_ns() override { return real_.monotonic_ns(); }
  std::uint64_t unix_ms() override { return real_.unix_ms(); }
  void sleep_ns(std::uint64_t ns) override { real_.sleep_ns(ns); }

 private:
  tolm::Win32CaptureSystem real_;
  tolm::Frame ready_;
};

}  // namespace

int main(int argc, char** argv) {
  const int passes = argc > 1 ? std::max(30, std::atoi(argv[1])) : 600;
  tolm::test_pattern::PatternWindow pattern;
  if (!pattern.start()) {
    std::fprintf(stderr, "pass: the test pattern did not start\n");
    return 1;
  }
  std::vector<double> grabs, own, publication;
  std::vector<double> status_costs;
  bool failed = false;
  // One thread, as the capture thread: the grab attaches it to the desktop it captures.
  std::thread([&] {
    const tolm::FrameGrabber grabber;
    const tolm::CaptureTarget target = tolm::read_capture_target();
    tolm::GrabResult first = grabber.grab(std::nullopt, target.width, target.height, 0);
    if (!first.frame) {
      std::fprintf(stderr, "pass: grab failed: %s\n", first.error.c_str());
      failed = true;
      return;
    }
    TimedSystem system(*first.frame);
    tolm::CaptureLoop loop(system);
    const auto state = tolm::CaptureState::create();
    tolm::Pixels spare;
    for (int i = 0; i < passes; ++i) {
      const double g0 = now_ms();
      tolm::GrabResult bare =
          grabber.grab(std::nullopt, target.width, target.height, 0, std::move(spare));
      grabs.push_back(now_ms() - g0);
      if (bare.frame) spare = std::move(bare.frame->pixels);

      system.in_pass_ms = 0;
      const std::size_t grabs_before = system.costs[kGrab].size();
      const double t0 = now_ms();
      loop.capture_once(*state);
      const double pass = now_ms() - t0;
      const double standin = system.costs[kGrab].size() > grabs_before
                                 ? system.costs[kGrab].back() : 0.0;
      own.push_back(pass - standin);
      publication.push_back(pass - system.in_pass_ms);
      // The loop writes the status after every 15th pass.
      if ((i + 1) % 15 == 0) system.write_status(state->status_snapshot());
    }
    status_costs = system.costs[kStatus];
    for (int s = 0; s < kSteps; ++s) {
      if (s == kGrab || s == kStatus || system.costs[s].empty()) continue;
      std::printf("  %-32s median %8.3f ms\n", kStepNames[s], median(system.costs[s]));
    }
  }).join();
  if (failed) return 1;
  const double status_per_pass = median(status_costs) / 15.0;
  std::printf("  %-32s median %8.3f ms (%.3f ms a pass)\n", kStepNames[kStatus],
              median(status_costs), status_per_pass);
  std::printf("  %-32s median %8.3f ms (score, desktop name, frame stored and counted)\n",
              "publication", median(publication));
  const double pass_own = median(own) + status_per_pass;
  const double grab = median(grabs);
  std::printf("%d passes; median real grab %.2f ms; the pass's own work %.3f ms = %.1f%% of a grab"
              "  (target <= 5%%)\n",
              passes, grab, pass_own, 100.0 * pass_own / grab);
  pattern.stop();
  return 0;
}
