// The service's answers to control codes and the two status reports it sends.
#include "service/service_control.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace tolm {
namespace {

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

// The report's record is the system's SERVICE_STATUS, and the values are the system's: checked
// where the record is sent.
TEST(ServiceStatus, RunningAcceptsStopOnlyAndStoppedNothing) {
  EXPECT_EQ(running_status().current_state, kStateRunning);
  EXPECT_EQ(running_status().controls_accepted, kAcceptStop);
  EXPECT_EQ(stopped_status().current_state, kStateStopped);
  EXPECT_EQ(stopped_status().controls_accepted, 0u);
}

}  // namespace
}  // namespace tolm
