// Portable. What the service tells the service control manager and how it answers its controls;
// the Win32 values are spelled out here so the decisions can be tested without <windows.h>.
#pragma once

#include <cstdint>

#include "base/stop_flag.h"

namespace tolm {

inline constexpr std::uint32_t kControlStop = 1;           // SERVICE_CONTROL_STOP
inline constexpr std::uint32_t kControlInterrogate = 4;    // SERVICE_CONTROL_INTERROGATE
inline constexpr std::uint32_t kNoError = 0;               // NO_ERROR
inline constexpr std::uint32_t kCallNotImplemented = 120;  // ERROR_CALL_NOT_IMPLEMENTED

inline constexpr std::uint32_t kServiceOwnProcess = 0x10;  // SERVICE_WIN32_OWN_PROCESS
inline constexpr std::uint32_t kStateStopped = 1;          // SERVICE_STOPPED
inline constexpr std::uint32_t kStateRunning = 4;          // SERVICE_RUNNING
inline constexpr std::uint32_t kAcceptStop = 1;            // SERVICE_ACCEPT_STOP

// The fields of a SERVICE_STATUS, in its order.
struct ServiceStatusRecord {
  std::uint32_t service_type = kServiceOwnProcess;
  std::uint32_t current_state = 0;
  std::uint32_t controls_accepted = 0;
  std::uint32_t win32_exit_code = kNoError;
  std::uint32_t service_specific_exit_code = 0;
  std::uint32_t check_point = 0;
  std::uint32_t wait_hint = 0;
};

// The only two reports ever sent: no pending states, and STOP is the one control accepted, so the
// system sends no shutdown or session notifications.
[[nodiscard]] ServiceStatusRecord running_status() noexcept;
[[nodiscard]] ServiceStatusRecord stopped_status() noexcept;

// Answers one control: STOP sets `stop`, INTERROGATE changes nothing (the last report stands),
// every other code is refused. Never waits; the supervisor notices the flag at its next pass.
[[nodiscard]] std::uint32_t handle_service_control(std::uint32_t control,
                                                   const StopFlag& stop) noexcept;

}  // namespace tolm
