// latency.exe [CHANGES]: how old the picture is when a client holds it. A window covering the
// screen changes its colour CHANGES times (300 unless given) at random moments, 150 to 400 ms
// apart, while a client takes frames from the real helper: asking back to back the old way, then
// as a stream, then from shared memory (CHANGES changes each, one client at a time); for each
// change, the time from the moment it was painted until the client held a frame showing it (or a
// later change).
// Beside that, the floor the same run measures: a grab's median time plus a frame's transfer time
// from a bare pipe server; and the pacing the capture loop follows. Last line:
// "latency median X ms, p95 Y ms, p99 Z ms; floor F ms; pacing 16 ms", the back-to-back client's,
// and the stream client's against its target (half a loop period, a grab, a transfer and 8 ms), and
// a client that takes its frames from shared memory against its own (the same, without transfer).
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/files.h"
#include "capture/frame_grabber.h"
#include "protocol/answer.h"
#include "protocol/request.h"
#include "client/pipe_client.h"
#include "client/stream.h"
#include "helper_run.h"
#include "timing.h"

namespace {

using bench::median;
using bench::now_ms;

constexpr char kBarePipe[] = "\\\\.\\pipe\\tolm-capture-latency";

// Change i's colour, bright enough for the capture loop's search to stop at the input desktop.
COLORREF colour_of(int i) {
  return RGB(64 + i % 16 * 12, 64 + i / 16 % 16 * 12, 120 + i / 256 * 40);
}
// The change a pixel shows, or -1.
int change_of(const std::uint8_t* bgrx) {
  const int r = bgrx[2] - 64, g = bgrx[1] - 64, b = bgrx[0] - 120;
  if (r < 0 || g < 0 || b < 0 || r % 12 != 0 || g % 12 != 0 || b % 40 != 0) return -1;
  return r / 12 + 16 * (g / 12) + 256 * (b / 40);
}

// A top-most window over the whole screen, painted from its own thread.
class ColourWindow {
 public:
  ColourWindow() : thread_([this] { run(); }) {
    while (window_ == nullptr) Sleep(10);
  }
  ~ColourWindow() {
    PostMessageW(window_, WM_CLOSE, 0, 0);
    thread_.join();
  }
  // Paints change `i` and returns when it has been handed to the display.
  double paint(int i) {
    painted_ = 0;
    PostMessageW(window_, WM_APP, static_cast<WPARAM>(i), 0);
    while (painted_ == 0) Sleep(0);
    return painted_;
  }

 private:
  static LRESULT CALLBACK proc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
    auto* self = reinterpret_cast<ColourWindow*>(GetWindowLongPtrW(w, GWLP_USERDATA));
    if (m == WM_APP && self != nullptr) {
      const HDC dc = GetDC(w);
      const HBRUSH brush = CreateSolidBrush(colour_of(static_cast<int>(wp)));
      RECT all{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
      FillRect(dc, &all, brush);
      GdiFlush();
      DeleteObject(brush);
      ReleaseDC(w, dc);
      self->painted_ = now_ms();
      return 0;
    }
    if (m == WM_DESTROY) PostQuitMessage(0);
    return DefWindowProcW(w, m, wp, lp);
  }

  void run() {
    WNDCLASSW wc{};
    wc.lpfnWndProc = &proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"tolm-latency";
    RegisterClassW(&wc);
    const HWND w = CreateWindowExW(WS_EX_TOPMOST, wc.lpszClassName, L"", WS_POPUP | WS_VISIBLE, 0,
                                   0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN),
                                   nullptr, nullptr, wc.hInstance, nullptr);
    SetWindowLongPtrW(w, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    window_ = w;
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
  }

  std::atomic<HWND> window_{nullptr};
  std::atomic<double> painted_{0};
  std::thread thread_;
};

struct Received {
  double at;
  int change;
};

}  // namespace

int main(int argc, char** argv) {
  const int changes = argc > 1 ? std::max(10, std::atoi(argv[1])) : 300;
  ColourWindow window;
  window.paint(0);
  const tolm::UniqueProcess helper = bench::start_helper();
  const std::optional<std::string> token =
      helper.process ? bench::wait_for_token(helper.process.get()) : std::nullopt;
  if (!token) return std::puts("latency: the helper did not start"), 1;

  // Each client in turn, alone with the helper: each frame noted with the change it shows and
  // when it was whole.
  std::mutex mutex;
  std::vector<double> exchanges;
  std::vector<double> loop_periods;  // the stream's: ms between two published frames
  int next_change = 1;
  int missed = 0;
  const auto note = [&](std::vector<Received>& into, const tolm::FrameView& f, double held) {
    const std::uint8_t* centre = &f.pixels[f.height / 2 * f.stride + f.width / 2 * 4];
    const std::lock_guard lock(mutex);
    into.push_back({held, change_of(centre)});
  };
  const auto measure = [&](const std::function<void(const std::atomic<bool>&,
                                                    std::vector<Received>&)>& ask) {
    std::atomic<bool> stop{false};
    std::vector<Received> frames;
    std::thread client([&] { ask(stop, frames); });
    Sleep(2000);  // the helper publishes, the client is in its stride
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> pause(150, 400);
    std::vector<std::pair<int, double>> painted;
    for (int i = 0; i < changes; ++i) {
      Sleep(static_cast<DWORD>(pause(random)));
      painted.emplace_back(next_change, window.paint(next_change));
      ++next_change;
    }
    Sleep(1000);
    stop = true;
    client.join();
    std::vector<double> latencies;
    for (const auto& [change, at] : painted) {
      const auto held = std::find_if(frames.begin(), frames.end(), [&](const Received& r) {
        return r.at > at && r.change >= change;
      });
      if (held == frames.end()) {
        ++missed;
      } else {
        latencies.push_back(held->at - at);
      }
    }
    return std::pair(latencies, frames.size());
  };
  const auto [latencies, received] = measure([&](const std::atomic<bool>& stop,
                                                 std::vector<Received>& frames) {
    const std::string request = tolm::frame_request(*token);
    while (!stop) {
      const double asked = now_ms();
      const auto e = tolm::client::exchange(request, 10000);
      const double held = now_ms();
      const auto r = tolm::read_answer(e.bytes, true);
      if (r.kind != tolm::AnswerKind::kFrame) continue;
      note(frames, r.frame, held);
      const std::lock_guard lock(mutex);
      exchanges.push_back(held - asked);
    }
  });
  std::vector<double>* periods = &loop_periods;
  const auto take_stream = [&](bool shared) {
    return [&, shared](const std::atomic<bool>& stop, std::vector<Received>& frames) {
      tolm::client::FrameStream stream(*token, true, shared);
    std::uint32_t number = 0;
    std::uint64_t at = 0;
    while (!stop) {
      const tolm::client::FrameStream::Next next = stream.next(1000);
      if (next.kind != tolm::AnswerKind::kNext) continue;
      note(frames, stream.frame(), now_ms());
      if (number != 0 && next.number > number) {
        periods->push_back(static_cast<double>(next.capture_ms - at) / (next.number - number));
      }
      number = next.number;
      at = next.capture_ms;
    }
    };
  };
  const auto [stream_latencies, streamed] = measure(take_stream(false));
  std::vector<double> shared_periods;
  periods = &shared_periods;
  const auto [shared_latencies, shared] = measure(take_stream(true));

  // The floor, measured after the changes with the helper stopped, so that nothing else runs: a
  // grab of the same screen, and the same bytes from a bare pipe server.
  TerminateProcess(helper.process.get(), 0);
  WaitForSingleObject(helper.process.get(), 5000);
  std::vector<double> grabs, transfers;
  for (int i = 0; i < 30; ++i) {
    const double t0 = now_ms();
    const auto grabbed = tolm::FrameGrabber().grab(std::nullopt, 1920, 1080, 0);
    if (grabbed.frame) grabs.push_back(now_ms() - t0);
  }
  const std::string response = "RFRA" + std::string(16 + 1920 * 1080 * 4, '\x7f');
  std::atomic<bool> stop{false};
  std::thread bare(bench::serve_bare, kBarePipe, std::cref(response), std::cref(stop));
  for (int i = 0; i < 20; ++i) {
    const double t0 = now_ms();
    (void)tolm::client::exchange("FRAME\n", 10000, kBarePipe);
    transfers.push_back(now_ms() - t0);
  }
  stop = true;
  (void)tolm::client::exchange("STOP\n", 1000, kBarePipe);
  bare.join();

  const double grab = median(grabs), transfer = median(transfers), request = median(exchanges);
  std::printf("%d changes for each client, %zu, %zu and %zu frames received, %d changes never "
              "seen\n", changes, received, streamed, shared, missed);
  std::printf("bare grab median %.1f ms, bare transfer of a frame median %.1f ms (nothing else "
              "running)\n", grab, transfer);
  std::printf("the client's frame request to the helper: median %.1f ms (capturing meanwhile)\n",
              request);
  // A change waits for the next pass to begin (half the pacing on average) and for its grab; the
  // client is then half-way through a request on average, and needs one more.
  std::printf("expected from those: pacing / 2 + grab + 1.5 x request = %.1f ms\n",
              8 + grab + 1.5 * request);
  std::printf("latency median %.1f ms, p95 %.1f ms, p99 %.1f ms; floor %.1f ms; pacing 16 ms\n",
              tolm::percentile(latencies, 0.5), tolm::percentile(latencies, 0.95),
              tolm::percentile(latencies, 0.99), grab + transfer);
  // A stream client is answered as soon as a pass publishes: half a loop period on average, the
  // grab, the transfer.
  const double period = median(loop_periods);
  std::printf("stream client: latency median %.1f ms, p95 %.1f ms; loop period median %.1f ms; "
              "target period / 2 + grab + transfer + 8 = %.1f ms\n",
              tolm::percentile(stream_latencies, 0.5), tolm::percentile(stream_latencies, 0.95),
              period, period / 2 + grab + transfer + 8);
  const double shared_period = median(shared_periods);
  std::printf("shared memory client: latency median %.1f ms, p95 %.1f ms; loop period median "
              "%.1f ms; target period / 2 + grab + 8 = %.1f ms\n",
              tolm::percentile(shared_latencies, 0.5), tolm::percentile(shared_latencies, 0.95),
              shared_period, shared_period / 2 + grab + 8);
  return latencies.empty() || stream_latencies.empty() || shared_latencies.empty() ? 1 : 0;
}
