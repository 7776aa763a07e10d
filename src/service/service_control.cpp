#include "service/service_control.h"

namespace tolm {

ServiceStatusRecord running_status() noexcept {
  ServiceStatusRecord r;
  r.current_state = kStateRunning;
  r.controls_accepted = kAcceptStop;
  return r;
}

ServiceStatusRecord stopped_status() noexcept {
  ServiceStatusRecord r;
  r.current_state = kStateStopped;
  return r;
}

std::uint32_t handle_service_control(std::uint32_t control, const StopFlag& stop) noexcept {
  switch (control) {
    case kControlStop:
      stop.set();
      return kNoError;
    case kControlInterrogate:
      return kNoError;
    default:
      return kCallNotImplemented;
  }
}

}  // namespace tolm
