// The grab against the real Wine desktop and screen; the failures Wine cannot produce go through
// the recording seam.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "base/data_directory.h"
#include "capture/control_files_win.h"
#include "capture/frame_grabber.h"
#include "grab_system_recorder.h"
#include "pattern_check.h"
#include "pattern_window.h"

namespace tolm {
namespace {

using testing::expect_pattern;
using testing::recorder;
using Strings = std::vector<std::string>;

const Strings kAllReleased{"DeleteObject", "DeleteDC", "ReleaseDC", "CloseDesktop"};
const std::string kInput = "OpenInputDesktop 0x181", kMode = "SetStretchBltMode 0x3",
                  kCapture = " 0x40cc0020";
const std::string kWhole = "BitBlt 0 0 1920 1080 0 0",
                  kScaled = "StretchBlt 0 0 1280 720 0 0 1920 1080";

// On a thread of its own, so that the thread's end (which closes the desktop handle the grab kept)
// is part of what the recorder sees.
GrabResult grab_on_own_thread(const std::optional<std::string>& desktop, std::uint32_t w = 1920,
                              std::uint32_t h = 1080, std::vector<std::uint8_t> buffer = {}) {
  GrabResult result;
  std::thread([&] {
    result = FrameGrabber(testing::recording_grab_system())
                 .grab(desktop, w, h, read_display_index(), std::move(buffer));
  }).join();
  return result;
}

class PatternScreen : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(pattern().start()); }
  static void TearDownTestSuite() { pattern().stop(); }
  void SetUp() override { DeleteFileW(L"C:\\ProgramData\\Tolm\\display.index"); }
  static test_pattern::PatternWindow& pattern() {
    static test_pattern::PatternWindow window;
    return window;
  }
};

TEST_F(PatternScreen, GrabsThePatternInBlueGreenRedOrderAtOneToOneScaledAndByAPlainCopy) {
  const struct {
    std::optional<std::string> desktop;
    std::uint32_t width, height;
    std::set<std::string> failing;
    Strings log;
  } cases[] = {
      {{}, 1920, 1080, {}, {kInput, kMode, kWhole + kCapture}},
      {"Default", 1280, 720, {}, {"OpenDesktopW 0x181", kMode, kScaled + kCapture}},
      {{}, 1920, 1080, {"CaptureBlt"}, {kInput, kMode, kWhole + kCapture, kWhole + " 0xcc0020"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.log.back());
    recorder() = {};
    recorder().failing = c.failing;
    const GrabResult r = grab_on_own_thread(c.desktop, c.width, c.height);
    ASSERT_TRUE(r.frame) << r.error;
    EXPECT_EQ(r.frame->width, c.width);
    EXPECT_EQ(r.frame->height, c.height);
    EXPECT_EQ(r.frame->stride, c.width * 4);
    EXPECT_EQ(r.frame->pixels.size(), c.width * c.height * 4);
    EXPECT_EQ(r.frame->desktop, c.desktop.value_or("Input"));
    EXPECT_EQ(r.frame->backend, "bitblt");
    expect_pattern(*r.frame);
    EXPECT_EQ(recorder().log, c.log);
    EXPECT_EQ(recorder().releases, kAllReleased);
  }
}

TEST_F(PatternScreen, DisplayIndexPicksAMonitorInEnumerationOrderElseThePrimaryScreen) {
  (void)create_directories(kDataDirectory);
  for (const auto& [index, copy] : {std::pair{"0", "StretchBlt 0 0 1920 1079 100 0 1921 1080"},
                                    {"1", "BitBlt 0 0 1920 1080 -1920 0"},
                                    {"2", "BitBlt 0 0 1920 1080 0 0"},  // no size: primary
                                    {"3", "BitBlt 0 0 1920 1080 0 0"}}) {
    recorder() = {};
    recorder().monitors = {RECT{100, 0, 2021, 1080}, RECT{-1920, 0, 0, 1080}, RECT{0, 0, 0, 1080}};
    ASSERT_TRUE(write_whole_file(data_file("display.index"), index));
    const GrabResult r = grab_on_own_thread(std::nullopt);
    EXPECT_EQ(recorder().log.at(2), copy + kCapture) << index;
    if (index == std::string("1")) EXPECT_EQ(r.error, "blank frame");  // wholly off the screen
  }
}

// Memory handed back from an earlier frame looks, where a short copy left rows out, as new memory.
TEST_F(PatternScreen, RowsAShortCopyLeftOutAreBlackInReusedMemory) {
  recorder() = {};
  recorder().failing = {"GetDIBits half"};
  const GrabResult r =
      grab_on_own_thread(std::nullopt, 640, 360, std::vector<std::uint8_t>(640 * 360 * 4, 0xFF));
  ASSERT_TRUE(r.frame) << r.error;
  const auto bottom_half = r.frame->pixels.begin() + 640 * 180 * 4;
  EXPECT_NE(std::count(r.frame->pixels.begin(), bottom_half, 0), 640 * 180 * 4);
  EXPECT_EQ(std::count(bottom_half, r.frame->pixels.end(), 0), 640 * 180 * 4);
}

TEST_F(PatternScreen, EachFailedStepHasItsTextAndReleasesWhatWasMadeInOrder) {
  const struct {
    std::set<std::string> failing;
    const char* error;
    Strings releases;
  } cases[] = {
      {{}, "open desktop failed", {}},  // a desktop that does not exist
      {{"SetThreadDesktop"}, "SetThreadDesktop failed", {"CloseDesktop"}},
      {{"metrics"}, "bad metrics", {"CloseDesktop"}},
      {{"GetDC"}, "GetDC failed", {"CloseDesktop"}},
      {{"CreateCompatibleDC"}, "bitmap failed", {"DeleteObject", "ReleaseDC", "CloseDesktop"}},
      {{"CreateCompatibleBitmap"}, "bitmap failed", {"DeleteDC", "ReleaseDC", "CloseDesktop"}},
      {{"CreateCompatibleDC", "CreateCompatibleBitmap"}, "bitmap failed",
       {"ReleaseDC", "CloseDesktop"}},
      {{"CaptureBlt", "PlainBlt"}, "BitBlt/StretchBlt failed", kAllReleased},
      {{"GetDIBits"}, "GetDIBits failed", kAllReleased},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    recorder() = {};
    recorder().failing = c.failing;
    const GrabResult r = grab_on_own_thread(
        c.failing.empty() ? std::optional<std::string>("no-such-desktop") : std::nullopt);
    EXPECT_FALSE(r.frame);
    EXPECT_EQ(r.error, c.error);
    EXPECT_EQ(recorder().releases, c.releases);
  }
}

// CloseDesktop refuses (ERROR_BUSY) the desktop the thread is attached to: each handle must be
// closed once the thread has moved on to the next, the last when the thread ends.
TEST_F(PatternScreen, ManyGrabsCloseEveryDesktopHandleOnceTheThreadHasMovedOn) {
  recorder() = {};
  const auto closed = [] { return std::ranges::count(recorder().releases, "CloseDesktop"); };
  std::thread([&] {
    const FrameGrabber grabber(testing::recording_grab_system());
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(grabber.grab(std::nullopt, 640, 360, 0).frame) << i;
    EXPECT_EQ(closed(), 99);
  }).join();
  EXPECT_EQ(closed(), 100);
  EXPECT_EQ(std::ranges::count(recorder().releases, "DeleteObject"), 100);
  EXPECT_EQ(std::ranges::find_if(recorder().releases,
                                 [](const std::string& r) { return r.ends_with(" failed"); }),
            recorder().releases.end());
}

}  // namespace
}  // namespace tolm
