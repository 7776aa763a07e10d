// The capture loop's decisions, with a fake playing the system's part.
#include <gtest/gtest.h>

#include <map>

#include "capture/capture_loop.h"

namespace tolm {
namespace {

// 8192 bytes give 256 samples 32 bytes apart; the first `bright` of them are bright. `tag` tells
// the pictures apart.
Frame picture(int bright, std::uint32_t tag) {
  Frame f;
  f.pixels.assign(8192, 0);
  for (int j = 0; j < bright; ++j) f.pixels[2 + 32 * static_cast<std::size_t>(j)] = 200;
  f.width = tag;
  return f;
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
  std::vector<std::string> grabbed, remembered, last_errors;
  std::vector<std::uint64_t> sleeps;
  std::vector<std::pair<int, bool>> status_writes;  // pass reached, stopped at the time

  CaptureTarget read_capture_target() override { return {}; }
  std::vector<DesktopCandidate> candidate_desktops() override {
    if (++passes >= stop_after_passes) stop.set();
    return candidates;
  }
  std::string input_desktop_name() override { return input_name; }
  GrabResult grab(const std::optional<std::string>& desktop, std::uint32_t,
                  std::uint32_t) override {
    const std::string key(DesktopCandidate{desktop}.key());
    grabbed.push_back(key);
    now += grab_cost_ns;
    const auto found = results.find(key);
    return found != results.end() ? found->second : GrabResult{std::nullopt, "open desktop failed"};
  }
  void remember_desktop(std::string_view name) override { remembered.emplace_back(name); }
  void write_last_error(std::string_view text) override { last_errors.emplace_back(text); }
  void write_status(const CaptureState& state) override {
    status_writes.emplace_back(passes, state.is_stopped());
  }
  std::uint64_t monotonic_ns() override {
    const std::uint64_t reading = now;
    now += tick_ns;
    return reading;
  }
  void sleep_ns(std::uint64_t ns) override {
    sleeps.push_back(ns);
    now += ns;
  }
};

TEST(CaptureOnce, PublishesTheLaterBrighterPictureAndStopsSearchingThere) {
  FakeSystem sys;
  sys.input_name = "Default";
  sys.results["__input__"] = {picture(3, 1), ""};
  sys.results["Winlogon"] = {picture(20, 2), ""};
  sys.results["Default"] = {picture(100, 3), ""};
  const auto state = CaptureState::create();
  CaptureLoop(sys).capture_once(*state);

  EXPECT_EQ(sys.grabbed, (std::vector<std::string>{"__input__", "Winlogon"}));
  EXPECT_EQ(sys.remembered, (std::vector<std::string>{"Default", "Winlogon"}));
  EXPECT_EQ(state->copy_desktop_name(), "Winlogon");
  ASSERT_TRUE(state->has_frame());
  EXPECT_EQ(state->copy_frame()->width, 2u);
  EXPECT_EQ(state->copy_frame()->backend, "bitblt");
  EXPECT_EQ(state->read_sequence(), 1u);
  EXPECT_TRUE(sys.last_errors.empty());
}

TEST(CaptureOnce, ScoresTieToTheEarlierAndADarkPictureStillCounts) {
  FakeSystem sys;
  sys.results["__input__"] = {picture(0, 1), ""};  // scores 1
  sys.results["Winlogon"] = {picture(1, 2), ""};   // also 1: the earlier stays
  sys.results["Default"] = {GrabResult{std::nullopt, "blank frame"}};
  const auto state = CaptureState::create();
  CaptureLoop(sys).capture_once(*state);

  EXPECT_EQ(sys.grabbed.size(), 3u);
  EXPECT_EQ(sys.remembered, (std::vector<std::string>{"Default"}));
  ASSERT_TRUE(state->has_frame());
  EXPECT_EQ(state->copy_frame()->width, 1u);
  // A failure in a pass that published keeps the last-error file as it was.
  EXPECT_TRUE(sys.last_errors.empty());
}

TEST(CaptureOnce, WhenEveryCandidateFailsKeepsTheFrameAndRecordsTheLastFailure) {
  FakeSystem sys;
  sys.results["__input__"] = {picture(50, 7), ""};
  const auto state = CaptureState::create();
  CaptureLoop loop(sys);
  loop.capture_once(*state);
  const auto before = state->copy_frame();

  sys.results.clear();
  sys.results["Default"] = {GrabResult{std::nullopt, "blank frame"}};
  sys.input_name = "Screen-saver";
  state->set_desktop_name("Winlogon");
  loop.capture_once(*state);

  EXPECT_EQ(state->copy_frame(), before);
  EXPECT_EQ(state->read_sequence(), 1u);
  EXPECT_EQ(state->copy_desktop_name(), "Screen-saver");
  EXPECT_EQ(sys.last_errors, (std::vector<std::string>{"Default:blank frame"}));
  EXPECT_EQ(sys.remembered.size(), 1u);  // only the first pass's picture
}

TEST(CaptureLoopRun, WritesStatusEveryFifteenthPassAndOnceMoreBeforeStopping) {
  FakeSystem sys;
  sys.results["__input__"] = {picture(50, 1), ""};
  sys.stop_after_passes = 46;
  const auto state = CaptureState::create();
  CaptureLoop(sys).run(sys.stop, state);

  EXPECT_EQ(sys.passes, 46);
  EXPECT_EQ(sys.status_writes,
            (std::vector<std::pair<int, bool>>{{15, false}, {30, false}, {45, false}, {46, false}}));
  EXPECT_TRUE(state->is_stopped());
  EXPECT_EQ(state->read_sequence(), 46u);
}

TEST(CaptureLoopRun, AStopAlreadySetOrAStoppedStateCapturesNothing) {
  for (const bool by_flag : {true, false}) {
    FakeSystem sys;
    const auto state = CaptureState::create();
    if (by_flag) sys.stop.set(); else state->mark_stopped();
    CaptureLoop(sys).run(sys.stop, state);
    EXPECT_EQ(sys.passes, 0);
    EXPECT_EQ(sys.status_writes, (std::vector<std::pair<int, bool>>{{0, !by_flag}}));
    EXPECT_TRUE(state->is_stopped());
  }
}

TEST(CaptureLoopRun, SleepsTheRestOfSixteenMillisecondsFromASecondReading) {
  const struct {
    std::uint64_t grab_ns;
    std::vector<std::uint64_t> sleeps;
  } cases[] = {
      // Readings: start 0, after the pass 10.5 ms, again 11 ms: 5 ms are left.
      {10'000'000, {5'000'000}},
      // The first reading is under 16 ms, the second is not: no sleep.
      {15'400'000, {}},
      {16'000'000, {}},
      {40'000'000, {}},
  };
  for (const auto& c : cases) {
    FakeSystem sys;
    sys.grab_cost_ns = c.grab_ns;
    sys.tick_ns = 500'000;
    sys.candidates = {DesktopCandidate{}};
    sys.results["__input__"] = {picture(50, 1), ""};
    CaptureLoop(sys).run(sys.stop, CaptureState::create());
    EXPECT_EQ(sys.sleeps, c.sleeps) << "pass of " << c.grab_ns << " ns";
  }
}

}  // namespace
}  // namespace tolm
