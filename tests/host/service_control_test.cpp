// The service's answers to control codes and the two status reports it sends.
#include "service/service_control.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
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

// The record is a SERVICE_STATUS, field for field.
TEST(ServiceStatus, RunningAcceptsStopOnlyAndStoppedNothingWithNoError) {
  using Fields = std::array<std::uint32_t, 7>;
  EXPECT_EQ(std::bit_cast<Fields>(running_status()), (Fields{0x10, 4, 1, 0, 0, 0, 0}));
  EXPECT_EQ(std::bit_cast<Fields>(stopped_status()), (Fields{0x10, 1, 0, 0, 0, 0, 0}));
}

}  // namespace
}  // namespace tolm
