// The grab against the real Wine desktop and screen; the failures Wine cannot produce go through
// the recording seam.
#include <gtest/gtest.h>

#include <thread>

#include "base/files.h"
#include "capture/control_files.h"
#include "capture/frame_grabber.h"
#include "grab_system_recorder.h"
#include "pattern_check.h"
#include "pattern_window.h"
#include "test_pattern.h"

namespace tolm {
namespace {

using testing::expect_pattern;
using testing::recorder;
using testing::recording_grab_system;
namespace tp = test_pattern;

constexpr long long kCaptureCopy = 0x40CC0020;
constexpr long long kPlainCopy = 0x00CC0020;

// Runs one grab on a thread of its own, so that the thread's end (which closes the desktop handle
// the grab kept) is part of what the recorder sees.
GrabResult grab_on_own_thread(const std::optional<std::string>& desktop, std::uint32_t w = 1920,
                              std::uint32_t h = 1080) {
  GrabResult result;
  std::thread([&] { result = FrameGrabber(recording_grab_system()).grab(desktop, w, h); }).join();
  return result;
}

void write_control(const char* name, const char* content) {
  create_data_directory();
  ASSERT_TRUE(write_whole_file(data_file(name), content));
}

bool is_release(const std::string& name) {
  return name == "CloseDesktop" || name == "ReleaseDC" || name == "DeleteDC" ||
         name == "DeleteObject";
}

// Every handle and GDI object the grab made was released exactly once before its value was handed
// out again, and every release worked.
void expect_all_released() {
  const auto& calls = recorder().calls;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    const testing::Call& made = calls[i];
    if (made.handle == 0 || (made.name != "OpenInputDesktop" && made.name != "OpenDesktopW" &&
                             made.name != "GetDC" && made.name != "CreateCompatibleDC" &&
                             made.name != "CreateCompatibleBitmap")) {
      continue;
    }
    int released = 0;
    for (std::size_t j = i + 1; j < calls.size() && released == 0; ++j) {
      if (calls[j].handle != made.handle || !is_release(calls[j].name)) continue;
      ++released;
      EXPECT_TRUE(calls[j].result) << calls[j].name << " failed for what " << made.name
                                   << " made";
    }
    EXPECT_EQ(released, 1) << made.name << " #" << i;
  }
}

class PatternScreen : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(pattern().start()); }
  static void TearDownTestSuite() { pattern().stop(); }
  void SetUp() override {
    recorder().reset();
    DeleteFileW(L"C:\\ProgramData\\Tolm\\display.index");
    DeleteFileW(L"C:\\ProgramData\\Tolm\\capture.target");
  }
  static tp::PatternWindow& pattern() {
    static tp::PatternWindow window;
    return window;
  }
};

TEST_F(PatternScreen, OneToOneGrabIsTheScreenInBlueGreenRedOrder) {
  const GrabResult r = grab_on_own_thread(std::nullopt);
  ASSERT_TRUE(r.frame) << r.error;
  const Frame& f = *r.frame;
  EXPECT_EQ(f.width, 1920u);
  EXPECT_EQ(f.height, 1080u);
  EXPECT_EQ(f.stride, 1920u * 4);
  EXPECT_EQ(f.pixels.size(), 1920u * 1080 * 4);
  EXPECT_EQ(f.desktop, "Input");
  EXPECT_EQ(f.backend, "bitblt");
  expect_pattern(f);

  const auto opened = recorder().named("OpenInputDesktop");
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0].args, (std::vector<long long>{0, FALSE, 0x0181}));
  const auto blits = recorder().named("BitBlt");
  ASSERT_EQ(blits.size(), 1u);
  EXPECT_EQ(blits[0].args, (std::vector<long long>{0, 0, 1920, 1080, 0, 0, kCaptureCopy}));
  EXPECT_TRUE(recorder().named("StretchBlt").empty());
  EXPECT_EQ(recorder().named("SetStretchBltMode")[0].args[0], COLORONCOLOR);
  const auto dib = recorder().named("GetDIBits");
  ASSERT_EQ(dib.size(), 1u);
  EXPECT_EQ(dib[0].args, (std::vector<long long>{0, 1080, DIB_RGB_COLORS, 40, 1920, -1080, 1, 32,
                                                 BI_RGB, 0, 0, 0, 0, 0}));
  EXPECT_EQ(recorder().releases(),
            (std::vector<std::string>{"DeleteObject", "DeleteDC", "ReleaseDC", "CloseDesktop"}));
  expect_all_released();
}

TEST_F(PatternScreen, ControlFilesTakeEffectAtTheNextGrab) {
  write_control("capture.target", "1280x720\r\n");
  const CaptureTarget target = read_capture_target();
  const GrabResult r = grab_on_own_thread("Default", target.width, target.height);
  ASSERT_TRUE(r.frame) << r.error;
  EXPECT_EQ(r.frame->width, 1280u);
  EXPECT_EQ(r.frame->height, 720u);
  EXPECT_EQ(r.frame->desktop, "Default");
  expect_pattern(*r.frame);
  const auto stretches = recorder().named("StretchBlt");
  ASSERT_EQ(stretches.size(), 1u);
  EXPECT_EQ(stretches[0].args,
            (std::vector<long long>{0, 0, 1280, 720, 0, 0, 1920, 1080, kCaptureCopy}));
  EXPECT_TRUE(recorder().named("BitBlt").empty());
  EXPECT_EQ(recorder().named("OpenDesktopW")[0].args, (std::vector<long long>{0, FALSE, 0x0181}));

  // One monitor: index 1 is beyond it, so the primary screen is taken from (0, 0).
  write_control("display.index", "1\n");
  recorder().reset();
  ASSERT_TRUE(grab_on_own_thread(std::nullopt).frame);
  EXPECT_EQ(recorder().named("BitBlt")[0].args[4], 0);
}

TEST_F(PatternScreen, DisplayIndexPicksTheMonitorInEnumerationOrder) {
  write_control("display.index", "+1");
  recorder().faults.monitors = {RECT{0, 0, 1920, 1080}, RECT{-1920, 0, 0, 1080}};
  (void)grab_on_own_thread(std::nullopt);  // off-screen source: the picture itself may be blank
  auto blits = recorder().named("BitBlt");
  ASSERT_FALSE(blits.empty());
  EXPECT_EQ(blits[0].args, (std::vector<long long>{0, 0, 1920, 1080, -1920, 0, kCaptureCopy}));

  // A source one pixel wider than the target goes through StretchBlt.
  write_control("display.index", "0");
  recorder().reset();
  recorder().faults.monitors = {RECT{0, 0, 1921, 1080}};
  (void)grab_on_own_thread(std::nullopt);  // Wine reads a source beyond the screen as black
  const auto stretches = recorder().named("StretchBlt");
  ASSERT_EQ(stretches.size(), 1u);
  EXPECT_EQ(stretches[0].args,
            (std::vector<long long>{0, 0, 1920, 1079, 0, 0, 1921, 1080, kCaptureCopy}));
}

TEST_F(PatternScreen, PlainCopyIsTriedOnceWhenCaptureBltFails) {
  recorder().faults.blit_with_captureblt = true;
  const GrabResult ok = grab_on_own_thread(std::nullopt);
  ASSERT_TRUE(ok.frame) << ok.error;
  expect_pattern(*ok.frame);
  auto blits = recorder().named("BitBlt");
  ASSERT_EQ(blits.size(), 2u);
  EXPECT_EQ(blits[1].args.back(), kPlainCopy);

  recorder().reset();
  recorder().faults.blit_with_captureblt = recorder().faults.blit_plain = true;
  const GrabResult failed = grab_on_own_thread(std::nullopt, 1280, 720);
  EXPECT_EQ(failed.error, kBlitFailed);
  const auto stretches = recorder().named("StretchBlt");
  ASSERT_EQ(stretches.size(), 2u);
  EXPECT_EQ(stretches[0].args.back(), kCaptureCopy);
  EXPECT_EQ(stretches[1].args.back(), kPlainCopy);
  EXPECT_TRUE(recorder().named("GetDIBits").empty());
  EXPECT_EQ(recorder().releases(),
            (std::vector<std::string>{"DeleteObject", "DeleteDC", "ReleaseDC", "CloseDesktop"}));
  expect_all_released();
}

TEST_F(PatternScreen, EachFailureReleasesWhatWasMadeInOrder) {
  struct Case {
    const char* what;
    void (*fail)(testing::Faults&);
    const char* error;
    std::vector<std::string> releases;
  };
  const Case cases[] = {
      {"SetThreadDesktop", [](testing::Faults& f) { f.set_thread_desktop = true; },
       kSetThreadDesktopFailed, {"CloseDesktop"}},
      {"metrics", [](testing::Faults& f) { f.zero_metrics = true; f.monitors = {RECT{}}; },
       kBadMetrics,
       {"CloseDesktop"}},
      {"GetDC", [](testing::Faults& f) { f.get_dc = true; }, kGetDcFailed, {"CloseDesktop"}},
      {"CreateCompatibleDC", [](testing::Faults& f) { f.create_dc = true; }, kBitmapFailed,
       {"DeleteObject", "ReleaseDC", "CloseDesktop"}},
      {"CreateCompatibleBitmap", [](testing::Faults& f) { f.create_bitmap = true; },
       kBitmapFailed, {"DeleteDC", "ReleaseDC", "CloseDesktop"}},
      {"both", [](testing::Faults& f) { f.create_dc = f.create_bitmap = true; }, kBitmapFailed,
       {"ReleaseDC", "CloseDesktop"}},
      {"GetDIBits", [](testing::Faults& f) { f.get_di_bits = true; }, kGetDiBitsFailed,
       {"DeleteObject", "DeleteDC", "ReleaseDC", "CloseDesktop"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    recorder().reset();
    c.fail(recorder().faults);
    const GrabResult r = grab_on_own_thread(std::nullopt);
    EXPECT_FALSE(r.frame);
    EXPECT_EQ(r.error, c.error);
    EXPECT_EQ(recorder().releases(), c.releases);
    expect_all_released();
  }
  // Nothing of GDI is touched before the metrics are known to be good.
  recorder().reset();
  recorder().faults.zero_metrics = true;
  recorder().faults.monitors = {RECT{}};
  (void)grab_on_own_thread(std::nullopt);
  EXPECT_TRUE(recorder().named("GetDC").empty());
}

TEST_F(PatternScreen, MissingDesktopTouchesNoGdiObject) {
  const GrabResult r = grab_on_own_thread("no-such-desktop-here");
  EXPECT_EQ(r.error, kOpenDesktopFailed);
  EXPECT_EQ(recorder().names(), (std::vector<std::string>{"OpenDesktopW"}));
}

// The handle of the desktop a thread is attached to cannot be closed (ERROR_BUSY); the grab keeps
// it and closes it once the thread is attached to the next one. Every CloseDesktop must succeed.
TEST_F(PatternScreen, DesktopHandleIsClosedOnceTheThreadHasMovedOn) {
  std::thread([] {
    const FrameGrabber grabber(recording_grab_system());
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(grabber.grab(std::nullopt, 1920, 1080).frame);
    const auto opened = recorder().named("OpenInputDesktop");
    const auto closed = recorder().named("CloseDesktop");
    ASSERT_EQ(opened.size(), 3u);
    ASSERT_EQ(closed.size(), 2u);  // the third is still in use by this thread
    EXPECT_EQ(closed[0].handle, opened[0].handle);
    EXPECT_EQ(closed[1].handle, opened[1].handle);
  }).join();
  expect_all_released();
}

// Wine reports no handle counts, but hands out the lowest free handle value: a leak shows as a
// fresh handle's value growing.
// A leak of one handle per grab shows as the probe's handle value moving up by hundreds.
TEST_F(PatternScreen, ManyGrabsLeakNoHandle) {
  const auto probe = [] {
    HANDLE h = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    CloseHandle(h);
    return reinterpret_cast<std::uintptr_t>(h);
  };
  const FrameGrabber grabber;
  ASSERT_TRUE(grabber.grab(std::nullopt, 640, 360).frame);
  const std::uintptr_t before = probe();
  for (int i = 0; i < 300; ++i) {
    const GrabResult r = grabber.grab(i % 2 ? std::optional<std::string>("Default") : std::nullopt,
                                      640, 360);
    ASSERT_TRUE(r.frame) << i << ": " << r.error;
  }
  EXPECT_EQ(probe(), before);
}

TEST(EmptyScreen, GivesBlankFrame) {
  const GrabResult r = FrameGrabber().grab(std::nullopt, 1920, 1080);
  EXPECT_FALSE(r.frame);
  EXPECT_EQ(r.error, kBlankFrame);
}

TEST(NoDisplay, BlitFails) {
  const GrabResult r = FrameGrabber().grab(std::nullopt, 1920, 1080);
  EXPECT_FALSE(r.frame);
  EXPECT_EQ(r.error, kBlitFailed);
}

}  // namespace
}  // namespace tolm
