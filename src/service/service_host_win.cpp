#include "service/service_host_win.h"

#include <windows.h>

#include <memory>
#include <string>

#include "base/locations.h"
#include "base/stop_flag.h"
#include "base/system_error.h"
#include "base/win_text.h"
#include "service/service_control.h"
#include "service/session_supervisor_win.h"

namespace tolm {

namespace {

// The values the portable decisions spell out are the system's.
static_assert(kControlStop == SERVICE_CONTROL_STOP);
static_assert(kControlInterrogate == SERVICE_CONTROL_INTERROGATE);
static_assert(kNoError == NO_ERROR && kCallNotImplemented == ERROR_CALL_NOT_IMPLEMENTED);
static_assert(kServiceOwnProcess == SERVICE_WIN32_OWN_PROCESS);
static_assert(kAcceptStop == SERVICE_ACCEPT_STOP);
static_assert(kStateStopped == SERVICE_STOPPED && kStateRunning == SERVICE_RUNNING);

// Writable: the dispatch table takes a writable string.
std::wstring& service_name() {
  static std::wstring name = to_wide(kServiceName);
  return name;
}

// The handler's own reference to the current run's flag. The dispatcher may call the handler until
// StartServiceCtrlDispatcherW returns, which can be after service_main has let go of its
// reference, so this one is dropped only then.
std::unique_ptr<StopFlag> handler_flag;

static_assert(sizeof(ServiceStatusRecord) == sizeof(SERVICE_STATUS));

void report_status(SERVICE_STATUS_HANDLE handle, const ServiceStatusRecord& r) {
  SERVICE_STATUS status{};
  status.dwServiceType = r.service_type;
  status.dwCurrentState = r.current_state;
  status.dwControlsAccepted = r.controls_accepted;
  status.dwWin32ExitCode = r.win32_exit_code;
  status.dwServiceSpecificExitCode = r.service_specific_exit_code;
  status.dwCheckPoint = r.check_point;
  status.dwWaitHint = r.wait_hint;
  // A failed report changes nothing the service could act on: it goes on either way.
  static_cast<void>(SetServiceStatus(handle, &status));
}

DWORD WINAPI handle_control(DWORD control, DWORD, LPVOID, LPVOID context) {
  return handle_service_control(control, *static_cast<const StopFlag*>(context));
}

// Start arguments are not part of the contract: they are ignored.
void WINAPI service_main(DWORD, LPWSTR*) {
  const StopFlag stop;
  handler_flag = std::make_unique<StopFlag>(stop);
  const SERVICE_STATUS_HANDLE status =
      RegisterServiceCtrlHandlerExW(service_name().c_str(), &handle_control, handler_flag.get());
  if (status == nullptr) fatal_stop("register service: " + system_error_text(GetLastError()));

  report_status(status, running_status());
  run_session_supervisor(stop);
  report_status(status, stopped_status());
}

}  // namespace

bool run_dispatcher() {
  const SERVICE_TABLE_ENTRYW table[] = {{service_name().data(), &service_main}, {nullptr, nullptr}};
  const bool ran = StartServiceCtrlDispatcherW(table) != FALSE;
  // The handler can no longer be called.
  handler_flag.reset();
  return ran;
}

}  // namespace tolm
