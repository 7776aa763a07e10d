#include "capture/capture_loop.h"

#include <algorithm>
#include <utility>

#include "capture/picture.h"

namespace tolm {

void CaptureLoop::run(const StopFlag& stop, const std::shared_ptr<CaptureState>& state) {
  std::uint32_t passes = 0;
  while (!stop.is_set() && !state->is_stopped()) {
    const std::uint64_t start = system_.monotonic_ns();
    capture_once(*state);
    if (++passes % kStatusEveryPasses == 0) system_.write_status(state->status_snapshot());
    // No catch-up: a slow pass is followed at once by the next one.
    if (system_.monotonic_ns() - start < kPassNs) {
      const std::uint64_t elapsed = system_.monotonic_ns() - start;
      if (elapsed < kPassNs) system_.sleep_ns(kPassNs - elapsed);
    }
  }
  system_.write_status(state->status_snapshot());
  system_.settle();
  state->mark_stopped();
}

void CaptureLoop::capture_once(CaptureState& state) {
  const CaptureTarget target = system_.read_capture_target();
  const std::vector<DesktopCandidate> candidates = system_.candidate_desktops();

  int best_score = -1;
  std::optional<Frame> best;
  std::string last_error;
  for (const DesktopCandidate& candidate : candidates) {
    const std::string display_name =
        candidate.name ? *candidate.name : system_.input_desktop_name();
    GrabResult result =
        system_.grab(candidate.name, target.width, target.height, state.spare_pixels());
    if (!result.frame) {
      last_error = display_name + ":" + result.error;
      continue;
    }
    const int bright = bright_sample_count(result.frame->pixels);
    const int score = std::max(bright, 1);
    if (score <= best_score) continue;  // a tie keeps the earlier desktop
    state.set_desktop_name(display_name);
    system_.remember_desktop(display_name);
    best = std::move(result.frame);
    best_score = score;
    if (bright >= kEnoughBrightSamples) break;
  }

  if (best) {
    best->backend = "bitblt";
    system_.release_frame(state.publish_frame(*std::move(best)));
    return;
  }
  state.set_desktop_name(system_.input_desktop_name());
  if (!last_error.empty()) system_.write_last_error(last_error);
}

}  // namespace tolm
