// The service's answers to control codes and the two status reports it sends.
#include "service/service_control.h"

#include <gtest/gtest.h>

#include <array>
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

// Type, state, accepted controls, exit code, service exit code, check point, wait hint.
std::array<std::uint32_t, 7> fields(const ServiceStatusRecord& r) {
  return {r.service_type,
          r.current_state,
          r.controls_accepted,
          r.win32_exit_code,
          r.service_specific_exit_code,
          r.check_point,
          r.wait_hint};
}

TEST(ServiceStatus, RunningAcceptsStopOnlyAndStoppedNothingWithNoError) {
  EXPECT_EQ(fields(running_status()), (std::array<std::uint32_t, 7>{0x10, 4, 1, 0, 0, 0, 0}));
  EXPECT_EQ(fields(stopped_status()), (std::array<std::uint32_t, 7>{0x10, 1, 0, 0, 0, 0, 0}));
}

}  // namespace
}  // namespace tolm
