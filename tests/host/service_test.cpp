// The service's answers to control codes and the supervision loop's decisions.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>

#include "service/service_control.h"
#include "service/session_supervisor.h"

namespace tolm {
namespace {

// The service's answers to control codes and the two status reports it sends.
TEST(ServiceControl, StopSetsTheFlagInterrogateAndOtherCodesLeaveIt) {
  for (const bool already_stopped : {false, true}) {
    const StopFlag stop;
    if (already_stopped) stop.set();
    // INTERROGATE, then PAUSE, CONTINUE, SHUTDOWN, SESSIONCHANGE, the user range, unknown.
    for (const std::uint32_t code : {4u, 0u, 2u, 3u, 5u, 14u, 128u, 255u, 256u, 0xFFFFFFFFu}) {
      EXPECT_EQ(handle_service_control(code, stop), code == 4 ? 0u : 120u) << code;
      EXPECT_EQ(stop.is_set(), already_stopped) << code;
    }
    EXPECT_EQ(handle_service_control(1, stop), 0u);
    EXPECT_TRUE(stop.is_set());
  }
}

// The supervision loop's decisions, with a fake system logging in order what it was asked.
struct FakeSystem : SupervisorSystem {
  StopFlag stop;
  std::uint32_t session = 1;
  std::map<int, std::string> failing_launches;             // by attempt, from 1: the error text
  std::map<int, std::optional<std::uint32_t>> exit_codes;  // by worker, from 1; missing: running
  std::map<int, std::uint32_t> session_after_sleep;        // by sleep, from 1
  std::map<int, int> asks_until_serving;                    // by worker; missing: the first ask
  int stop_after_sleep = 0, launches = 0, workers = 0, sleeps = 0;
  std::string log;

  void say(const std::string& event) { log += event + "; "; }
  struct Worker : WorkerProcess {
    Worker(FakeSystem& s, int n) : sys(s), id(n) {}
    ~Worker() override { sys.say("close " + std::to_string(id)); }
    std::optional<std::uint32_t> exit_code() override {
      return sys.exit_codes.contains(id) ? sys.exit_codes[id] : kStillActive;
    }
    void terminate(std::uint32_t code) override {
      sys.say("terminate " + std::to_string(id) + " " + std::to_string(code));
    }
    bool serves_pipe() override {
      sys.say("ask " + std::to_string(id));
      return ++asks >= (sys.asks_until_serving.contains(id) ? sys.asks_until_serving[id] : 1);
    }
    int asks = 0;
    FakeSystem& sys;
    int id;
  };
  std::uint32_t console_session() override { return session; }
  LaunchResult launch_worker(std::uint32_t s) override {
    say("launch " + std::to_string(s));
    if (failing_launches.contains(++launches)) return {nullptr, failing_launches[launches]};
    return {std::make_unique<Worker>(*this, ++workers), ""};
  }
  void write_note(std::string_view note) override { say("note " + std::string(note)); }
  void start_fallback() override { say("fallback"); }
  void sleep_ms(std::uint32_t ms) override {
    say("sleep " + std::to_string(ms));
    if (session_after_sleep.contains(++sleeps)) session = session_after_sleep[sleeps];
    if (sleeps == stop_after_sleep) stop.set();
  }
  std::string run() {
    SessionSupervisor(*this).run(stop);
    return log;
  }
};

// No console session counts as session 1; a change starts the new worker at once, and the old one
// ends once the new one serves; STOP terminates the running worker with 0 and waits for nothing.
TEST(SessionSupervisor, FollowsTheConsoleSessionAndTerminatesTheWorkerAtStop) {
  FakeSystem sys;
  sys.session = kNoConsoleSession;
  sys.session_after_sleep = {{1, 2}, {5, kNoConsoleSession}};
  sys.asks_until_serving[2] = 3;
  sys.stop_after_sleep = 6;
  EXPECT_EQ(sys.run(),
            "launch 1; note worker session=1; sleep 500; "
            "launch 2; note worker session=2; ask 2; sleep 50; ask 2; sleep 50; ask 2; "
            "terminate 1 0; close 1; sleep 500; sleep 500; "
            "launch 1; note worker session=1; ask 3; terminate 2 0; close 2; sleep 500; "
            "terminate 3 0; close 3; ");
  FakeSystem stopped;
  stopped.stop.set();
  EXPECT_EQ(stopped.run(), "");
}

TEST(SessionSupervisor, OnlyStillActiveFromASuccessfulQueryKeepsTheWorker) {
  const std::optional<std::uint32_t> running = kStillActive;
  for (const std::optional<std::uint32_t> code : {running, {0u}, {1u}, {258u}, {260u}, {}}) {
    FakeSystem sys;
    sys.exit_codes[1] = code;
    sys.stop_after_sleep = 2;
    const std::string first = "launch 1; note worker session=1; sleep 500; ";
    EXPECT_EQ(sys.run(), first + (code == running ? "sleep 500; terminate 1 0; close 1; "
                                                  : "terminate 1 0; close 1; " + first +
                                                        "terminate 2 0; close 2; "))
        << (code ? std::to_string(*code) : "failed query");
  }
}

// The fallback starts once for the run, whatever follows; STOP during a delay is seen after it.
TEST(SessionSupervisor, AFailedLaunchIsNotedStartsTheFallbackOnceAndWaitsLonger) {
  FakeSystem sys;
  const std::string error = "SetTokenInformation TokenSessionId 1314";
  sys.failing_launches = {{1, error}, {2, error}, {4, "CreateProcessAsUserW 5"}};
  sys.exit_codes[1] = 0;
  sys.stop_after_sleep = 4;
  EXPECT_EQ(sys.run(), "launch 1; note spawn failed: " + error + "; fallback; sleep 2000; " +
                           "launch 1; note spawn failed: " + error + "; sleep 2000; " +
                           "launch 1; note worker session=1; sleep 500; terminate 1 0; close 1; " +
                           "launch 1; note spawn failed: CreateProcessAsUserW 5; sleep 2000; ");
}

}  // namespace
}  // namespace tolm
