// The service's answers to control codes and the two status reports it sends.
#include "service/service_control.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace tolm {
namespace {

TEST(ServiceControl, StopSetsTheFlagAndASecondStopChangesNothing) {
  const StopFlag stop;
  const StopFlag supervisor_view = stop;  // the service main's reference sees the handler's store
  EXPECT_EQ(handle_service_control(1, stop), 0u);
  EXPECT_TRUE(supervisor_view.is_set());
  EXPECT_EQ(handle_service_control(1, stop), 0u);
  EXPECT_TRUE(supervisor_view.is_set());
}

TEST(ServiceControl, InterrogateIsAnsweredWithoutTouchingTheFlag) {
  const StopFlag stop;
  EXPECT_EQ(handle_service_control(4, stop), 0u);
  EXPECT_FALSE(stop.is_set());
  stop.set();
  EXPECT_EQ(handle_service_control(4, stop), 0u);
  EXPECT_TRUE(stop.is_set());
}

TEST(ServiceControl, EveryOtherCodeIsRefusedAndLeavesTheFlag) {
  // PAUSE, CONTINUE, SHUTDOWN, PARAMCHANGE, SESSIONCHANGE, PRESHUTDOWN, the user range, unknown.
  const std::uint32_t refused[] = {0,  2,   3,   5,   6,   14,    15,
                                   16, 128, 200, 255, 256, 0x101, 0xFFFFFFFF};
  for (const bool already_stopped : {false, true}) {
    const StopFlag stop;
    if (already_stopped) stop.set();
    for (const std::uint32_t code : refused) {
      EXPECT_EQ(handle_service_control(code, stop), 120u) << code;
      EXPECT_EQ(stop.is_set(), already_stopped) << code;
    }
  }
}

TEST(ServiceStatus, RunningAcceptsStopOnly) {
  const ServiceStatusRecord r = running_status();
  EXPECT_EQ(r.service_type, 0x10u);
  EXPECT_EQ(r.current_state, 4u);
  EXPECT_EQ(r.controls_accepted, 1u);
  EXPECT_EQ(r.win32_exit_code, 0u);
  EXPECT_EQ(r.service_specific_exit_code, 0u);
  EXPECT_EQ(r.check_point, 0u);
  EXPECT_EQ(r.wait_hint, 0u);
}

TEST(ServiceStatus, StoppedAcceptsNothingAndReportsNoError) {
  const ServiceStatusRecord r = stopped_status();
  EXPECT_EQ(r.service_type, 0x10u);
  EXPECT_EQ(r.current_state, 1u);
  EXPECT_EQ(r.controls_accepted, 0u);
  EXPECT_EQ(r.win32_exit_code, 0u);
  EXPECT_EQ(r.service_specific_exit_code, 0u);
  EXPECT_EQ(r.check_point, 0u);
  EXPECT_EQ(r.wait_hint, 0u);
}

}  // namespace
}  // namespace tolm
