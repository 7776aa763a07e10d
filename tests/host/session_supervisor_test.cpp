// The supervision loop's decisions, with a fake playing the system's part and recording, in order,
// what it was asked.
#include "service/session_supervisor.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

namespace tolm {
namespace {

using Events = std::vector<std::string>;

struct FakeSystem : SupervisorSystem {
  StopFlag stop;
  std::uint32_t session = 1;
  std::map<int, std::string> failing_launches;             // by attempt, from 1: the error text
  std::map<int, std::optional<std::uint32_t>> exit_codes;  // by worker, from 1; missing: running
  std::function<void(int)> on_sleep;  // called with the number of the sleep, from 1
  std::function<void()> on_launch;

  Events events;
  int launches = 0, workers = 0, sleeps = 0;

  struct Worker : WorkerProcess {
    Worker(FakeSystem& s, int n) : sys(s), id(n) {}
    ~Worker() override { sys.events.push_back("close #" + std::to_string(id)); }
    std::optional<std::uint32_t> exit_code() override {
      sys.events.push_back("exit code? #" + std::to_string(id));
      const auto found = sys.exit_codes.find(id);
      return found != sys.exit_codes.end() ? found->second : kStillActive;
    }
    void terminate(std::uint32_t code) override {
      sys.events.push_back("terminate #" + std::to_string(id) + " code " + std::to_string(code));
    }
    FakeSystem& sys;
    int id;
  };

  std::uint32_t console_session() override { return session; }
  LaunchResult launch_worker(std::uint32_t s) override {
    events.push_back("launch " + std::to_string(s));
    if (on_launch) on_launch();
    if (const auto failing = failing_launches.find(++launches); failing != failing_launches.end()) {
      return {nullptr, failing->second};
    }
    return {std::make_unique<Worker>(*this, ++workers), ""};
  }
  void write_note(std::string_view note) override { events.push_back("note " + std::string(note)); }
  void start_fallback() override { events.push_back("fallback"); }
  void sleep_ms(std::uint32_t ms) override {
    events.push_back("sleep " + std::to_string(ms));
    if (on_sleep) on_sleep(++sleeps);
  }

  Events run() {
    SessionSupervisor(*this).run(stop);
    return events;
  }
  void stop_at_sleep(int n) {
    on_sleep = [this, n](int k) {
      if (k == n) stop.set();
    };
  }
};

TEST(SessionSupervisor, ASessionChangeReplacesTheWorkerWithinOnePoll) {
  FakeSystem sys;
  sys.on_sleep = [&](int k) {
    if (k == 1) sys.session = 2;
    if (k == 3) sys.stop.set();
  };
  // One pass a line.
  // clang-format off
  EXPECT_EQ(sys.run(), (Events{
      "launch 1", "note worker session=1", "sleep 500",
      "exit code? #1", "terminate #1 code 0", "close #1", "launch 2", "note worker session=2",
      "sleep 500",
      "exit code? #2", "sleep 500",
      "terminate #2 code 0", "close #2"}));
  // clang-format on
}

TEST(SessionSupervisor, NoConsoleSessionMeansSessionOne) {
  FakeSystem sys;
  sys.session = kNoConsoleSession;
  std::vector<std::string> notes;
  const std::uint32_t later[] = {3, kNoConsoleSession, kNoConsoleSession};
  sys.on_sleep = [&](int k) {
    if (k > 3) return sys.stop.set();
    sys.session = later[k - 1];
  };
  for (const std::string& e : sys.run()) {
    if (e.starts_with("launch") || e.starts_with("note")) notes.push_back(e);
  }
  EXPECT_EQ(notes, (Events{"launch 1", "note worker session=1", "launch 3", "note worker session=3",
                           "launch 1", "note worker session=1"}));
}

TEST(SessionSupervisor, OnlyStillActiveFromASuccessfulQueryKeepsTheWorker) {
  const std::optional<std::uint32_t> running = kStillActive;
  for (const std::optional<std::uint32_t> code : {running, {0u}, {1u}, {258u}, {260u}, {}}) {
    FakeSystem sys;
    sys.exit_codes[1] = code;
    sys.stop_at_sleep(3);
    const Events events = sys.run();
    const std::string label = code ? std::to_string(*code) : "failed query";
    if (code == running) {
      EXPECT_EQ(sys.launches, 1) << label;
      continue;
    }
    // Relaunched at the next pass, into the same session, with a note of its own.
    EXPECT_EQ(sys.launches, 2) << label;
    EXPECT_EQ(Events(events.begin() + 3, events.begin() + 9),
              (Events{"exit code? #1", "terminate #1 code 0", "close #1", "launch 1",
                      "note worker session=1", "sleep 500"}))
        << label;
  }
}

TEST(SessionSupervisor, AFailedLaunchStartsTheFallbackOnceAcrossTheRun) {
  FakeSystem sys;
  const std::string error = "SetTokenInformation TokenSessionId 1314";
  sys.failing_launches = {{1, error}, {2, error}, {4, "CreateProcessAsUserW 5"}};
  sys.exit_codes[1] = 0;  // the one worker that starts ends at once
  sys.stop_at_sleep(5);
  // One pass a line.
  // clang-format off
  EXPECT_EQ(sys.run(), (Events{
      "launch 1", "note spawn failed: " + error, "fallback", "sleep 2000",
      "launch 1", "note spawn failed: " + error, "sleep 2000",
      "launch 1", "note worker session=1", "sleep 500",
      "exit code? #1", "terminate #1 code 0", "close #1",
      "launch 1", "note spawn failed: CreateProcessAsUserW 5", "sleep 2000",
      "launch 1", "note worker session=1", "sleep 500",
      "terminate #2 code 0", "close #2"}));
  // clang-format on
}

TEST(SessionSupervisor, TheStopFlagIsSeenOnlyAtTheTopOfAPass) {
  {  // already set: nothing is asked of the system
    FakeSystem sys;
    sys.stop.set();
    EXPECT_EQ(sys.run(), Events{});
  }
  {  // during the delay after a failure: the delay runs out, nothing follows
    FakeSystem sys;
    sys.failing_launches = {{1, "DuplicateTokenEx 5"}};
    sys.stop_at_sleep(1);
    EXPECT_EQ(sys.run(), (Events{"launch 1", "note spawn failed: DuplicateTokenEx 5", "fallback",
                                 "sleep 2000"}));
  }
  {  // during a launch: the pass goes on to its note and sleep, then the worker goes
    FakeSystem sys;
    sys.on_launch = [&] { sys.stop.set(); };
    EXPECT_EQ(sys.run(), (Events{"launch 1", "note worker session=1", "sleep 500",
                                 "terminate #1 code 0", "close #1"}));
  }
}

}  // namespace
}  // namespace tolm
