#include "capture/capture_loop.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "capture/picture.h"

namespace tolm {

void CaptureLoop::run(const StopFlag& stop, const std::shared_ptr<CaptureState>& state) {
  std::uint32_t passes = 0;
  std::uint64_t requests_seen = state->frame_requests();
  std::optional<std::uint64_t> last_request_ns;  // none yet: the loop starts as if one had come
  std::uint64_t status_ns = 0;
  while (!stop.is_set() && !state->is_stopped()) {
    const std::uint64_t start = system_.monotonic_ns();
    if (const std::uint64_t requests = state->frame_requests(); requests != requests_seen) {
      requests_seen = requests;
      last_request_ns = start;
    }
    if (!last_request_ns) last_request_ns = start;
    const bool idle = start - *last_request_ns >= kIdleAfterNs;
    state->set_idle(idle);
    if (idle) {
      follow_input_desktop(*state);
    } else {
      capture_once(*state);
    }
    if (++passes % kStatusEveryPasses == 0 || start - status_ns >= kStatusEveryNs) {
      system_.write_status(state->status_snapshot());
      status_ns = start;
    }
    if (idle) {
      const std::uint64_t elapsed = system_.monotonic_ns() - start;
      if (elapsed < kIdlePassNs) {
        system_.wait_for_request(*state, requests_seen, kIdlePassNs - elapsed);
      }
      continue;
    }
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
  std::string best_name;
  std::uint64_t best_ms = 0;
  std::string last_error;
  for (const DesktopCandidate& candidate : candidates) {
    const std::string display_name =
        candidate.name ? *candidate.name : system_.input_desktop_name();
    const std::uint64_t grab_ms = system_.unix_ms();
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
    best_name = display_name;
    best_ms = grab_ms;
    best_score = score;
    if (bright >= kEnoughBrightSamples) break;
  }

  if (best) {
    best->backend = "bitblt";
    best->desktop_name = std::move(best_name);
    best->capture_ms = best_ms;
    const std::shared_ptr<const Frame> before = state.copy_frame();
    if (before && before->width == best->width && before->height == best->height &&
        before->stride == best->stride) {
      best->changed = std::make_shared<const BlockMap>(changed_blocks(
          before->pixels, best->pixels, best->width, best->height, best->stride));
    }
    system_.release_frame(state.publish_frame(*std::move(best)));
    return;
  }
  state.set_desktop_name(system_.input_desktop_name());
  if (!last_error.empty()) system_.write_last_error(last_error);
}

void CaptureLoop::follow_input_desktop(CaptureState& state) {
  state.set_desktop_name(system_.input_desktop_name());
}

}  // namespace tolm
