// The capture loop's decisions, with a fake playing the system's part.
#include <gtest/gtest.h>

#include <map>

#include "capture/capture_loop.h"

namespace tolm {
namespace {

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
                  std::vector<std::uint8_t>) override {
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

}  // namespace
}  // namespace tolm
