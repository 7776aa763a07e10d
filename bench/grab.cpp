// grab.exe: what a grab costs against the bare copy it is built on, on the test pattern.
// Prints the median of a 1:1 grab, of a grab to 1280x720, of a bare BitBlt + GetDIBits of the
// same screen (DCs, bitmap and buffer made once, outside the timing), and the ratio 1:1 / bare.
// It also times the bare copy with a fresh bitmap and buffer per call, as a grab must make them:
// that shows how much of the difference is the cost of touching 2 x 8 MB of new memory. And it
// times the comparison that finds what changed between two frames of the screen, against the grab:
// the same frame twice (the common case: every row compared whole), and a frame with a byte changed
// in every row (every block of every row looked at).
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "capture/changes.h"
#include "capture/frame_grabber.h"
#include "pattern_window.h"
#include "timing.h"

namespace {

volatile std::size_t g_sink;  // keeps the timed comparisons from being dropped

using bench::median;
using bench::now_ms;

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(5, std::atoi(argv[1])) : 100;
  tolm::test_pattern::PatternWindow pattern;
  if (!pattern.start()) {
    std::fprintf(stderr, "grab: the test pattern did not start\n");
    return 1;
  }
  const tolm::FrameGrabber grabber;
  const int w = GetSystemMetrics(SM_CXSCREEN);
  const int h = GetSystemMetrics(SM_CYSCREEN);

  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, w, h);
  HGDIOBJ old = SelectObject(memory, bitmap);
  std::vector<unsigned char> buffer(static_cast<std::size_t>(w) * h * 4);
  BITMAPINFO info{};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), w, -h, 1, 32, BI_RGB, 0, 0, 0, 0, 0};

  std::vector<double> one_to_one, scaled, bare, bare_fresh, same, all_rows;
  std::vector<std::uint8_t> previous;
  for (int i = 0; i < rounds + 3; ++i) {  // the first rounds warm caches and are dropped
    double t0 = now_ms();
    const tolm::GrabResult a = grabber.grab(std::nullopt, static_cast<std::uint32_t>(w),
                                            static_cast<std::uint32_t>(h), 0);
    double t1 = now_ms();
    const tolm::GrabResult b = grabber.grab(std::nullopt, 1280, 720, 0);
    double t2 = now_ms();
    BitBlt(memory, 0, 0, w, h, screen, 0, 0, SRCCOPY | CAPTUREBLT);
    GetDIBits(memory, bitmap, 0, static_cast<UINT>(h), buffer.data(), &info, DIB_RGB_COLORS);
    double t3 = now_ms();
    {
      HDC fresh_memory = CreateCompatibleDC(screen);
      HBITMAP fresh_bitmap = CreateCompatibleBitmap(screen, w, h);
      HGDIOBJ fresh_old = SelectObject(fresh_memory, fresh_bitmap);
      BitBlt(fresh_memory, 0, 0, w, h, screen, 0, 0, SRCCOPY | CAPTUREBLT);
      std::vector<unsigned char> fresh_buffer(buffer.size());
      GetDIBits(fresh_memory, fresh_bitmap, 0, static_cast<UINT>(h), fresh_buffer.data(), &info,
                DIB_RGB_COLORS);
      SelectObject(fresh_memory, fresh_old);
      DeleteObject(fresh_bitmap);
      DeleteDC(fresh_memory);
    }
    double t4 = now_ms();
    if (!a.frame || !b.frame) {
      std::fprintf(stderr, "grab: %s%s\n", a.error.c_str(), b.error.c_str());
      return 1;
    }
    const auto& pixels = a.frame->pixels;
    const std::vector<std::uint8_t> copy(pixels.begin(), pixels.end());
    std::vector<std::uint8_t> every_row = copy;
    for (std::size_t row = 0; row < every_row.size(); row += a.frame->stride) every_row[row] ^= 1;
    const double t5 = now_ms();
    g_sink = tolm::changed_blocks(pixels, copy, a.frame->width, a.frame->height, a.frame->stride)
                 .blocks.size();
    const double t6 = now_ms();
    g_sink = tolm::changed_blocks(pixels, every_row, a.frame->width, a.frame->height,
                                  a.frame->stride)
                 .blocks.size();
    const double t7 = now_ms();
    if (i < 3) continue;
    same.push_back(t6 - t5);
    all_rows.push_back(t7 - t6);
    one_to_one.push_back(t1 - t0);
    scaled.push_back(t2 - t1);
    bare.push_back(t3 - t2);
    bare_fresh.push_back(t4 - t3);
  }
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);

  const double m1 = median(one_to_one), m2 = median(scaled), m0 = median(bare);
  const double mf = median(bare_fresh);
  std::printf("screen %dx%d, %d rounds\n", w, h, rounds);
  std::printf("grab 1:1            median %.2f ms\n", m1);
  std::printf("grab to 1280x720    median %.2f ms\n", m2);
  std::printf("bare BitBlt+GetDIBits median %.2f ms\n", m0);
  std::printf("bare, fresh bitmap and buffer median %.2f ms\n", mf);
  std::printf("ratio grab 1:1 / bare  %.3f (target <= 1.10)\n", m1 / m0);
  std::printf("ratio grab 1:1 / bare with fresh memory  %.3f\n", m1 / mf);
  const double ms = median(same), ma = median(all_rows);
  std::printf("changes found, same frame: median %.2f ms, %.3f of a grab\n", ms, ms / m1);
  std::printf("changes found, every row changed: median %.2f ms, %.3f of a grab (target <= 0.05)\n",
              ma, ma / m1);
  return 0;
}
