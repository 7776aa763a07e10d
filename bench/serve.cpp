// serve.exe [BLOCKS]: what a client waits for a 1920x1080 frame from the real helper, against the
// same number of bytes from a bare pipe server in this process with the helper's pipe settings;
// and how long the frame lock is held per frame request, against a copy of the pixels.
//
// The two pipe paths are measured in alternating blocks, as timings on these shared machines
// drift within minutes. The helper's capture thread keeps running meanwhile, so both paths share
// the machine with it.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/data_directory.h"
#include "base/handles.h"
#include "base/security_win.h"
#include "capture/control_files_win.h"
#include "capture/frame.h"
#include "capture/frame_grabber.h"
#include "client/pipe_client.h"
#include "pattern_window.h"
#include "helper_run.h"
#include "timing.h"
#include "server/access_token.h"
#include "server/capture_server.h"

namespace {

using bench::median;
using bench::now_ms;

constexpr std::uint32_t kWidth = 1920, kHeight = 1080;
constexpr std::size_t kResponseBytes = 20 + std::size_t{kWidth} * kHeight * 4;
constexpr char kBarePipe[] = "\\\\.\\pipe\\tolm-capture-bench";
constexpr unsigned kTimeoutMs = 5000;
constexpr int kPerBlock = 10;

volatile std::size_t g_sink;  // keeps the timed loops from being dropped

// Milliseconds for one exchange; counts a response that is not one whole 1920x1080 frame.
double timed_exchange(const std::string& request, const char* pipe, int& failures) {
  const double t0 = now_ms();
  const tolm::client::Exchange r = tolm::client::exchange(request, kTimeoutMs, pipe);
  const double t1 = now_ms();
  if (!r.error.empty() || r.bytes.size() != kResponseBytes || r.bytes.compare(0, 4, "RFRA") != 0) {
    if (failures++ < 3) {
      std::fprintf(stderr, "serve: %s: %zu bytes, %s\n", pipe, r.bytes.size(), r.error.c_str());
    }
  }
  return t1 - t0;
}

// Microseconds per frame request spent in copy_frame_or, and per copy of the pixels, in
// alternating rounds. The pointer copy is far below the timer's step, so it is timed in batches.
void lock_cost(tolm::Frame grabbed) {
  const auto state = tolm::CaptureState::create();
  state->publish_frame(std::move(grabbed));
  constexpr int kBatch = 1000;
  std::vector<double> pointer_us, pixels_us;
  std::size_t sink = 0;
  for (int round = 0; round < 43; ++round) {  // the first 3 rounds warm up and are dropped
    const double t0 = now_ms();
    for (int i = 0; i < kBatch; ++i) {
      const auto frame = state->copy_frame_or([] { return std::shared_ptr<const tolm::Frame>(); });
      sink += frame->width;
    }
    const double t1 = now_ms();
    const auto& pixels = state->copy_frame()->pixels;
    const std::vector<std::uint8_t> copy(pixels.begin(), pixels.end());
    const double t2 = now_ms();
    sink += copy[copy.size() / 2];
    if (round < 3) continue;
    pointer_us.push_back((t1 - t0) * 1000.0 / kBatch);
    pixels_us.push_back((t2 - t1) * 1000.0);
  }
  const double p = median(pointer_us), c = median(pixels_us);
  std::printf("frame lock: copy_frame_or median %.3f us a call, batches of %d (target <= 50)\n", p,
              kBatch);
  std::printf("            pixel vector copy median %.1f us; ratio copy / copy_frame_or %.0f\n", c,
              c / p);
  g_sink = sink;
}

}  // namespace

int main(int argc, char** argv) {
  const int blocks = argc > 1 ? std::max(1, std::atoi(argv[1])) : 8;
  tolm::test_pattern::PatternWindow pattern;
  if (!pattern.start()) {
    std::fprintf(stderr, "serve: the test pattern did not start\n");
    return 1;
  }

  // The helper reads capture.target on every pass; change it only when it asks for another size,
  // and put the user's bytes back afterwards.
  const std::string target_path = tolm::data_file(tolm::kCaptureTargetFileName);
  const std::optional<std::string> saved_target = tolm::read_whole_file(target_path);
  const bool target_changed = tolm::read_capture_target() != tolm::CaptureTarget{kWidth, kHeight};
  if (target_changed &&
      !tolm::write_whole_file(target_path, tolm::format_capture_target({kWidth, kHeight}))) {
    std::fprintf(stderr, "serve: could not write %s\n", target_path.c_str());
    return 1;
  }

  const tolm::UniqueProcess helper = bench::start_helper();
  if (!helper.process) {
    std::fprintf(stderr, "serve: the helper did not start (os error %lu)\n", GetLastError());
    return 1;
  }

  int status = 1;
  const std::optional<std::string> token = bench::wait_for_token(helper.process.get());
  if (!token) {
    std::fprintf(stderr, "serve: no token in capture.auth within 20 s\n");
  } else {
    const std::string request = "AUTH " + *token + "\nFRAME\n";
    std::string bare_response(kResponseBytes, '\x7f');
    std::memcpy(bare_response.data(), "RFRA", 4);
    std::atomic<bool> stop{false};
    std::thread bare(bench::serve_bare, kBarePipe, std::cref(bare_response), std::cref(stop));

    int helper_failures = 0, bare_failures = 0;
    for (int i = 0; i < 3; ++i) {  // warm-up: the first frame, caches, both pipes
      (void)timed_exchange(request, tolm::kPipeName, helper_failures);
      (void)timed_exchange(request, kBarePipe, bare_failures);
    }
    helper_failures = bare_failures = 0;
    std::vector<double> from_helper, from_bare;
    for (int b = 0; b < blocks; ++b) {
      std::vector<double> h, r;
      for (int i = 0; i < kPerBlock; ++i) {
        h.push_back(timed_exchange(request, tolm::kPipeName, helper_failures));
      }
      for (int i = 0; i < kPerBlock; ++i) {
        r.push_back(timed_exchange(request, kBarePipe, bare_failures));
      }
      std::printf("block %d: helper %7.2f ms, bare %7.2f ms\n", b + 1, median(h), median(r));
      from_helper.insert(from_helper.end(), h.begin(), h.end());
      from_bare.insert(from_bare.end(), r.begin(), r.end());
    }
    stop.store(true);
    (void)tolm::client::exchange("STOP\n", 1000, kBarePipe);  // wakes it from ConnectNamedPipe
    bare.join();

    const double mh = median(from_helper), mb = median(from_bare);
    std::printf("screen %dx%d, %d blocks of %d exchanges per path, %zu bytes each\n",
                GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), blocks, kPerBlock,
                kResponseBytes);
    std::printf("helper FRAME median %.2f ms (%d failures of %zu)\n", mh, helper_failures,
                from_helper.size());
    std::printf("bare pipe    median %.2f ms (%d failures of %zu)\n", mb, bare_failures,
                from_bare.size());
    std::printf("ratio helper / bare  %.3f (target <= 1.15)\n", mh / mb);

    tolm::GrabResult grabbed = tolm::FrameGrabber().grab(std::nullopt, kWidth, kHeight, 0);
    if (grabbed.frame) {
      lock_cost(*std::move(grabbed.frame));
      status = helper_failures + bare_failures == 0 ? 0 : 1;
    } else {
      std::fprintf(stderr, "serve: grab failed: %s\n", grabbed.error.c_str());
    }
  }

  TerminateProcess(helper.process.get(), 0);
  WaitForSingleObject(helper.process.get(), 5000);
  if (target_changed && saved_target) (void)tolm::write_whole_file(target_path, *saved_target);
  pattern.stop();
  return status;
}
