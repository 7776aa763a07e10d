// The capture thread's portable part: control files, output size and samples, the shared
// record, the candidate order and the loop's decisions.
#include <gtest/gtest.h>

#include <map>
#include <thread>
#include <vector>

#include "capture/capture_loop.h"
#include "capture/changes.h"
#include "protocol/control_files.h"
#include "capture/desktop_tracker.h"
#include "capture/frame.h"
#include "capture/picture.h"

namespace tolm {
namespace {

TEST(OutputSize, KeepsTheRatioWithinTargetAndMinimum) {
  struct Case {
    int w, h;
    unsigned tw, th;
    int ow, oh;
  };
  for (const Case c :
       {Case{1920, 1080, 1920, 1080, 1920, 1080}, Case{2560, 1440, 1920, 1080, 1920, 1080},
        Case{1920, 1200, 1920, 1080, 1728, 1080}, Case{2560, 1080, 1920, 1080, 1920, 810},
        Case{1366, 768, 1920, 1080, 1366, 768}, Case{4000, 1000, 640, 360, 640, 180},
        Case{200, 100, 1920, 1080, 320, 180}, Case{1921, 1080, 1920, 1080, 1920, 1079},
        Case{2147483647, 1, 2560, 1440, 2560, 180},
        // 719.65 rounds up; 960.5 rounds half away from zero.
        Case{1366, 768, 1280, 720, 1280, 720}, Case{1921, 2160, 1920, 1080, 961, 1080}}) {
    EXPECT_EQ(output_size(c.w, c.h, c.tw, c.th), (OutputSize{c.ow, c.oh}))
        << c.w << "x" << c.h << " into " << c.tw << "x" << c.th;
  }
}

TEST(BrightSamples, SamplesEvenlyAndCountsOrOfThreeBytes) {
  // 1920x1080x4 bytes: step 2025, samples at 2, 2027, ...
  std::vector<std::uint8_t> px(1920 * 1080 * 4, 0);
  EXPECT_EQ(bright_sample_count(px), 0);
  px[2025] = 8;  // OR of bytes 2025..2027 = 8 | 5 = 13
  px[2026] = 5;
  EXPECT_EQ(bright_sample_count(px), 1);
  px[2026] = 4;  // 8 | 4 = 12
  EXPECT_EQ(bright_sample_count(px), 0);
  px[2026] = 8;  // 8 | 8 = 8, though 8 + 8 = 16
  EXPECT_EQ(bright_sample_count(px), 0);
  std::fill(px.begin(), px.end(), 255);
  EXPECT_EQ(bright_sample_count(px), 256);
  // Small buffers: step 32, stop at the first sample beyond the end.
  EXPECT_EQ(bright_sample_count(std::vector<std::uint8_t>(100, 20)), 4);  // 2, 34, 66, 98
  EXPECT_EQ(bright_sample_count(std::vector<std::uint8_t>(2, 20)), 0);
  EXPECT_EQ(bright_sample_count({}), 0);
}

TEST(BlankTest, DarkButNonZeroAtSixtyFourthByteIsNotBlank) {
  std::vector<std::uint8_t> px(320 * 180 * 4, 0);
  EXPECT_TRUE(is_blank(px));
  px[65] = 12;  // not a multiple of 64 and not bright
  EXPECT_TRUE(is_blank(px));
  px[64 * 7] = 1;
  EXPECT_FALSE(is_blank(px));
  EXPECT_TRUE(is_blank({}));
}

Frame frame_of(std::uint8_t fill) { return {std::vector<std::uint8_t>(16, fill), "", "", 2, 2, 8}; }

TEST(CaptureState, PublishesWholeFramesThatReadersKeepAndGrabsOnlyWhenEmpty) {
  const auto state = CaptureState::create();
  EXPECT_EQ(state->copy_desktop_name(), "Default");
  EXPECT_FALSE(state->is_stopped());
  int grabs = 0;
  const auto grab = [&] {
    ++grabs;
    return std::make_shared<const Frame>(frame_of(9));
  };
  EXPECT_EQ(state->copy_frame_or(grab)->pixels[0], 9);
  EXPECT_FALSE(state->has_frame());  // the grab is never stored
  EXPECT_EQ(state->copy_frame(), nullptr);
  EXPECT_EQ(state->read_sequence(), 0u);

  state->publish_frame(frame_of(1));
  auto first = state->copy_frame();
  state->publish_frame(frame_of(2));
  EXPECT_EQ(state->read_sequence(), 2u);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->pixels[0], 1);  // unchanged by the later publication
  EXPECT_EQ(state->copy_frame_or(grab)->pixels[0], 2);
  EXPECT_EQ(grabs, 1);

  // The memory of frame 1 is offered to the next grab once its last holder lets go, not before.
  const std::uint8_t* memory = first->pixels.data();
  EXPECT_TRUE(state->spare_pixels().empty());
  first.reset();
  EXPECT_EQ(state->spare_pixels().data(), memory);
}

TEST(CaptureState, ConcurrentPublishersAndReadersSeeWholeFrames) {
  const auto state = CaptureState::create();
  std::thread writer([&] {
    for (int i = 0; i < 2000; ++i) state->publish_frame(frame_of(static_cast<std::uint8_t>(i)));
  });
  for (int i = 0; i < 2000; ++i) {
    if (const auto f = state->copy_frame()) {
      for (const auto b : f->pixels) ASSERT_EQ(b, f->pixels[0]);
    }
    state->set_desktop_name(i % 2 ? "Winlogon" : "Default");
  }
  writer.join();
  EXPECT_EQ(state->read_sequence(), 2000u);
}

// The order of the desktops a pass tries, and the decoding of the names the system hands over.
using Names = std::vector<std::string>;

Names names(std::optional<std::string_view> remembered, const Names& enumerated) {
  const std::vector<DesktopCandidate> list = build_candidate_list(remembered, enumerated);
  EXPECT_FALSE(list.at(0).name.has_value());
  Names out;
  for (const DesktopCandidate& c : list) out.emplace_back(c.key());
  return out;
}

TEST(CandidateList, InputFirstThenRememberedThenFixedThenNewEnumeratedNames) {
  const Names fixed{"__input__", "Winlogon", "Default", "Screen-saver", "Disconnect"};
  EXPECT_EQ(names(std::nullopt, {"Default", "Winlogon"}), fixed);
  // A remembered fixed name moves up to second place; surrounding white space is not part of it.
  EXPECT_EQ(names("  Default\r\n", {"Default", "Kiosk", "Kiosk", "Winlogon"}),
            (Names{"__input__", "Default", "Winlogon", "Screen-saver", "Disconnect", "Kiosk"}));
  for (const char* useless : {"", " \t\r\n", "\xC2\xA0\xE3\x80\x80", "__input__", "Kiosk\xFF"}) {
    EXPECT_EQ(names(useless, {}), fixed) << useless;
  }
  // Names are compared byte for byte: a lower-case "default" is a desktop of its own.
  EXPECT_EQ(names("default", {"default", "__input__"}),
            (Names{"__input__", "default", "Winlogon", "Default", "Screen-saver", "Disconnect"}));
}

TEST(DesktopNameUnits, NamesAreCutAt257UnitsAndBadSurrogatesReplaced) {
  EXPECT_EQ(desktop_name_from_units(std::u16string(300, u'a').c_str()), std::string(257, 'a'));
  EXPECT_EQ(desktop_name_from_units(u"Win\xD800x"), "Win\xEF\xBF\xBDx");
  EXPECT_EQ(desktop_name_from_units(u"\xD83D\xDE00"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(desktop_name_from_units(u""), "");
}

TEST(DesktopNameUnits, NeededBytesGiveTheUnitsBeforeTheTerminatorAtMost256) {
  EXPECT_EQ(name_units_from_needed(16), 7u);  // "Default" and its NUL
  EXPECT_EQ(name_units_from_needed(17), 7u);
  EXPECT_EQ(name_units_from_needed(3), 0u);  // the terminator alone
  EXPECT_EQ(name_units_from_needed(0), 0u);
  EXPECT_EQ(name_units_from_needed(0xFFFFFFFFu), 256u);
}

// The capture loop's decisions, with a fake playing the system's part.
using Strings = std::vector<std::string>;

// 8192 bytes give 256 samples 32 bytes apart; the first `bright` of them are bright. `tag` tells
// the pictures apart.
GrabResult picture(int bright, std::uint32_t tag) {
  Frame f{std::vector<std::uint8_t>(8192, 0), "", "", tag};
  for (int j = 0; j < bright; ++j) f.pixels[2 + 32 * static_cast<std::size_t>(j)] = 200;
  return {std::move(f), ""};
}

struct FakeSystem : CaptureSystem {
  std::vector<DesktopCandidate> candidates{{}, {"Winlogon"}, {"Default"}};
  std::map<std::string, GrabResult> results;  // by candidate key; missing: "open desktop failed"
  std::string input_name = "Default";
  std::uint64_t grab_cost_ns = 1'000'000;
  std::uint64_t tick_ns = 0;  // the clock moves on by this after every reading
  int stop_after_passes = 1;
  StopFlag stop;

  std::uint64_t now = 0;
  int passes = 0;
  Strings grabbed, remembered, last_errors;
  std::vector<std::uint64_t> sleeps;
  const CaptureState* watched = nullptr;
  std::vector<std::pair<int, bool>> status_writes;  // pass reached (-1: settled), stopped then

  CaptureTarget read_capture_target() override { return {}; }
  std::vector<DesktopCandidate> candidate_desktops() override {
    if (++passes >= stop_after_passes) stop.set();
    return candidates;
  }
  std::string input_desktop_name() override { return input_name; }
  GrabResult grab(const std::optional<std::string>& desktop, std::uint32_t, std::uint32_t,
                  Pixels) override {
    grabbed.emplace_back(DesktopCandidate{desktop}.key());
    now += grab_cost_ns;
    const auto found = results.find(grabbed.back());
    return found != results.end() ? found->second : GrabResult{std::nullopt, "open desktop failed"};
  }
  void remember_desktop(std::string_view name) override { remembered.emplace_back(name); }
  void write_last_error(std::string_view text) override { last_errors.emplace_back(text); }
  void write_status(const StatusSnapshot& s) override {
    status_writes.emplace_back(passes, watched->is_stopped());
    EXPECT_EQ(s.seq, watched->read_sequence());
  }
  void settle() override { status_writes.emplace_back(-1, watched->is_stopped()); }
  std::uint64_t monotonic_ns() override { return (now += tick_ns) - tick_ns; }
  void sleep_ns(std::uint64_t ns) override { sleeps.push_back(ns), now += ns; }
  std::uint64_t unix_ms() override { return now / 1'000'000; }
  // Resting: a frame request comes at the `request_at_wait`th wait, and stops the loop at the
  // `stop_at_wait`th.
  void wait_for_request(const CaptureState& state, std::uint64_t, std::uint64_t ns) override {
    waits.push_back(ns), now += ns;
    if (waits.size() == request_at_wait) const_cast<CaptureState&>(state).note_frame_request();
    if (waits.size() == stop_at_wait) stop.set();
  }
  std::vector<std::uint64_t> waits;
  std::size_t request_at_wait = 0, stop_at_wait = 0;
};

TEST(CaptureOnce, KeepsTheFirstOfTheBrightestPicturesAndWithoutAnyRecordsTheLastFailure) {
  FakeSystem sys;
  sys.input_name = "Screen-saver";
  sys.candidates = {{}, {"Winlogon"}, {"Default"}, {"Kiosk"}, {"Disconnect"}, {"Last"}};
  sys.results = {{"__input__", picture(0, 1)},  // dark, yet it scores 1
                 {"Default", picture(1, 3)},    // scores 1 too: the earlier stays
                 {"Kiosk", picture(7, 4)},
                 {"Disconnect", picture(8, 5)},  // enough bright samples: the search ends
                 {"Last", picture(100, 6)}};
  const auto state = CaptureState::create();
  CaptureLoop loop(sys);
  loop.capture_once(*state);
  EXPECT_EQ(sys.grabbed, (Strings{"__input__", "Winlogon", "Default", "Kiosk", "Disconnect"}));
  EXPECT_EQ(sys.remembered, (Strings{"Screen-saver", "Kiosk", "Disconnect"}));
  EXPECT_EQ(state->copy_desktop_name(), "Disconnect");
  const auto published = state->copy_frame();
  ASSERT_NE(published, nullptr);
  EXPECT_EQ(published->width, 5u);
  EXPECT_EQ(published->backend, "bitblt");
  EXPECT_EQ(state->read_sequence(), 1u);
  EXPECT_TRUE(sys.last_errors.empty());  // Winlogon's failure, in a pass that published

  sys.results = {{"Last", {std::nullopt, "blank frame"}}};
  sys.input_name = "Default";
  loop.capture_once(*state);
  EXPECT_EQ(state->copy_frame(), published);
  EXPECT_EQ(state->read_sequence(), 1u);
  EXPECT_EQ(state->copy_desktop_name(), "Default");
  EXPECT_EQ(sys.last_errors, (Strings{"Last:blank frame"}));
  EXPECT_EQ(sys.remembered.size(), 3u);
}

TEST(CaptureLoopRun, WritesStatusEveryFifteenthPassAndOnceMoreBeforeItMarksTheStateStopped) {
  using Writes = std::vector<std::pair<int, bool>>;
  const struct {
    int passes;  // 0: stopped before the first pass, by the flag or by the state
    bool by_state;
    Writes writes;
  } cases[] = {{46, false, {{15, false}, {30, false}, {45, false}, {46, false}, {-1, false}}},
               {0, false, {{0, false}, {-1, false}}},
               {0, true, {{0, true}, {-1, true}}}};
  for (const auto& c : cases) {
    FakeSystem sys;
    sys.results["__input__"] = picture(50, 1);
    sys.stop_after_passes = c.passes;
    const auto state = CaptureState::create();
    sys.watched = state.get();
    if (c.passes == 0) c.by_state ? state->mark_stopped() : sys.stop.set();
    CaptureLoop(sys).run(sys.stop, state);
    EXPECT_EQ(sys.status_writes, c.writes);
    EXPECT_TRUE(state->is_stopped());
    EXPECT_EQ(state->read_sequence(), static_cast<std::uint32_t>(c.passes));
  }
}

TEST(CaptureLoopRun, SleepsTheRestOfSixteenMillisecondsFromASecondReading) {
  // Readings: start 0, after the pass 10.5 ms, again 11 ms: 5 ms are left. At 15.4 ms the first
  // reading is under 16 ms, the second is not: no sleep.
  for (const auto& [grab_ns, sleeps] :
       {std::pair{10'000'000ULL, std::vector<std::uint64_t>{5'000'000}},
        {15'400'000ULL, {}},
        {40'000'000ULL, {}}}) {
    FakeSystem sys;
    sys.grab_cost_ns = grab_ns;
    sys.tick_ns = 500'000;
    sys.candidates = {DesktopCandidate{}};
    sys.results["__input__"] = picture(50, 1);
    const auto state = CaptureState::create();
    sys.watched = state.get();
    CaptureLoop(sys).run(sys.stop, state);
    EXPECT_EQ(sys.sleeps, sleeps) << "pass of " << grab_ns << " ns";
  }
}

// With no frame request for 2 s, a pass only follows the input desktop and writes the status, four
// times a second; a request wakes the loop to grab again.
TEST(CaptureLoopRun, WithoutFrameRequestsItRestsAndARequestWakesIt) {
  FakeSystem sys;
  sys.tick_ns = 100'000'000;
  sys.candidates = {DesktopCandidate{}};
  sys.results["__input__"] = picture(50, 1);
  sys.stop_after_passes = 1000;
  sys.request_at_wait = 3;
  sys.stop_at_wait = 6;
  const auto state = CaptureState::create();
  sys.watched = state.get();
  CaptureLoop(sys).run(sys.stop, state);
  // A pass takes 201 ms on this clock: ten grabs in the first 2 s, none in three resting passes,
  // ten in the 2 s after the request, none in three more.
  EXPECT_EQ(sys.grabbed.size(), 20u);
  EXPECT_EQ(sys.waits, std::vector<std::uint64_t>(6, kIdlePassNs - sys.tick_ns));
  // Every 250 ms: every other grabbing pass and every resting one; and once at the end.
  EXPECT_EQ(sys.status_writes.size(), 4u + 3 + 6 + 3 + 1);
}

// What changed is found block by block and sent as rectangles: runs of a row merged with the same
// columns below, cut at the frame's edge; a client a few frames behind gets their union, one
// further behind, or across an unknown change, the whole frame.
TEST(Changes, BlocksThatDifferBecomeRectanglesAndAddUpAcrossFrames) {
  const std::uint32_t w = 100, h = 70, stride = w * 4;  // 4 x 3 blocks, the last ones cut short
  std::vector<std::uint8_t> before(std::size_t{stride} * h), after = before;
  for (const auto& [x, y] : {std::pair{0u, 0u}, {40u, 31u}, {0u, 40u}, {63u, 63u}, {99u, 0u},
                            {99u, 69u}}) {
    after[std::size_t{y} * stride + x * 4 + 2] ^= 1;
  }
  const BlockMap map = changed_blocks(before, after, w, h, stride);
  EXPECT_EQ(block_rects(map), (std::vector<Rect>{{0, 0, 64, 64}, {96, 0, 4, 32}, {96, 64, 4, 6}}));

  const auto state = CaptureState::create();
  const auto publish = [&](std::optional<std::vector<std::uint8_t>> blocks) {
    Frame f{std::vector<std::uint8_t>(256 * 32), "", "", 64, 32, 256};
    if (blocks) f.changed = std::make_shared<const BlockMap>(BlockMap{64, 32, *blocks});
    (void)state->publish_frame(std::move(f));
    return state->copy_frame();
  };
  (void)publish(std::nullopt);
  (void)publish(std::vector<std::uint8_t>{1, 0});
  const auto third = publish(std::vector<std::uint8_t>{0, 1});
  const std::vector<Rect> whole{{0, 0, 64, 32}};
  EXPECT_EQ(state->changed_since(2, *third), (std::vector<Rect>{{32, 0, 32, 32}}));
  EXPECT_EQ(state->changed_since(1, *third), whole);  // both blocks
  EXPECT_EQ(state->changed_since(0, *third), whole);  // nothing held
  for (int i = 0; i < 16; ++i) (void)publish(std::vector<std::uint8_t>{0, 0});
  const auto late = publish(std::nullopt);
  EXPECT_EQ(state->changed_since(late->number - 2, *late), whole);  // an unknown change between
  EXPECT_EQ(state->changed_since(2, *late), whole);                 // too far behind
}

}  // namespace
}  // namespace tolm
