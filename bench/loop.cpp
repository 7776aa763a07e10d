// loop.exe [BLOCKS]: frames the capture loop publishes per second on the test pattern, against
// the rate that bare grabs of the same size allow, 1 / (median grab cost). The loop paces itself to
// one pass per 16 ms, so its ceiling is min(62.5, 1 / grab cost); the ratio printed is the loop's
// rate over that ceiling. Bare grabs paced by the loop's own timer and rule are measured too: the
// loop's rate over theirs is what the pass's own work costs, the timer's lateness left out.
//
// Grab times on these shared machines drift by a factor of several within minutes, so the two
// are measured in alternating blocks of about 1.5 s each and compared block by block; the median
// of the block ratios is the result.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "capture/capture_system_win.h"
#include "capture/control_files_win.h"
#include "pattern_window.h"
#include "timing.h"

namespace {

constexpr double kBlockSeconds = 1.5;

double now_s() { return bench::now_ms() / 1e3; }

using bench::median;

// The median cost in seconds of bare grabs of the default target for about one block, made on a
// thread of their own and each into the memory of the one before, as the capture loop's are; 0
// when a grab fails.
double grab_cost() {
  std::vector<double> costs;
  std::thread([&] {
    const tolm::FrameGrabber grabber;
    const tolm::CaptureTarget target = tolm::read_capture_target();
    const double end = now_s() + kBlockSeconds;
    tolm::Pixels buffer;
    while (costs.size() < 5 || now_s() < end) {
      const double t0 = now_s();
      tolm::GrabResult r =
          grabber.grab(std::nullopt, target.width, target.height, 0, std::move(buffer));
      if (!r.frame) {
        std::fprintf(stderr, "loop: grab failed: %s\n", r.error.c_str());
        costs.assign(1, 0.0);
        return;
      }
      costs.push_back(now_s() - t0);
      buffer = std::move(r.frame->pixels);
    }
  }).join();
  return median(costs);
}

// Frames per second of bare grabs paced as the loop paces itself (the same timer, the same rule),
// over about one block: what the platform allows a loop that does nothing but grab.
double paced_grab_rate() {
  double rate = 0;
  std::thread([&] {
    tolm::Win32CaptureSystem system;
    const tolm::FrameGrabber grabber;
    const tolm::CaptureTarget target = tolm::read_capture_target();
    tolm::Pixels buffer;
    int grabs = 0;
    const double start = now_s();
    while (now_s() - start < kBlockSeconds) {
      const std::uint64_t t0 = system.monotonic_ns();
      tolm::GrabResult r =
          grabber.grab(std::nullopt, target.width, target.height, 0, std::move(buffer));
      if (!r.frame) return;
      buffer = std::move(r.frame->pixels);
      ++grabs;
      if (const std::uint64_t spent = system.monotonic_ns() - t0; spent < tolm::kPassNs) {
        system.sleep_ns(tolm::kPassNs - spent);
      }
    }
    rate = grabs / (now_s() - start);
  }).join();
  return rate;
}

// Frames per second published by a capture thread over about one block, from the first
// publication seen to the last (the sequence is watched every millisecond).
double loop_rate() {
  tolm::StopFlag stop;
  const auto state = tolm::CaptureState::create();
  std::thread capture(tolm::run_capture_loop, stop, state, nullptr);
  while (state->read_sequence() == 0) Sleep(1);
  const std::uint32_t first = state->read_sequence();
  const double start = now_s();
  std::uint32_t last = first;
  double last_at = start;
  while (now_s() - start < kBlockSeconds) {
    Sleep(1);
    if (const std::uint32_t seq = state->read_sequence(); seq != last) {
      last = seq;
      last_at = now_s();
    }
  }
  stop.set();
  capture.join();
  return last == first ? 0.0 : (last - first) / (last_at - start);
}

}  // namespace

int main(int argc, char** argv) {
  const int blocks = argc > 1 ? std::max(1, std::atoi(argv[1])) : 8;
  tolm::test_pattern::PatternWindow pattern;
  if (!pattern.start()) {
    std::fprintf(stderr, "loop: the test pattern did not start\n");
    return 1;
  }
  (void)grab_cost();  // warm-up
  std::vector<double> grabs, rates, paced_rates, ratios, paced_ratios;
  for (int i = 0; i < blocks; ++i) {
    const double cost = grab_cost();
    const double paced = paced_grab_rate();
    const double rate = loop_rate();
    if (cost <= 0 || paced <= 0 || rate <= 0) return 1;
    grabs.push_back(cost);
    rates.push_back(rate);
    paced_rates.push_back(paced);
    ratios.push_back(rate / std::min(62.5, 1.0 / cost));
    paced_ratios.push_back(rate / paced);
    std::printf("block %d: grab %7.2f ms (1 / grab %5.1f per s), paced bare grabs %5.1f per s, "
                "loop %5.1f frames per s\n",
                i + 1, cost * 1e3, 1.0 / cost, paced, rate);
  }
  const tolm::CaptureTarget target = tolm::read_capture_target();
  std::printf("target %ux%u, screen %dx%d, %d blocks\n", target.width, target.height,
              GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), blocks);
  std::printf("median grab %.2f ms, median paced bare grabs %.1f per s, median loop %.1f frames "
              "per s\n",
              median(grabs) * 1e3, median(paced_rates), median(rates));
  std::printf("loop / paced bare grabs = %.3f, median of the blocks\n", median(paced_ratios));
  std::printf("loop / min(62.5, 1 / grab) = %.3f, median of the blocks  (target >= 0.95)\n",
              median(ratios));
  pattern.stop();
  return 0;
}
