// Windows only. Connects the process to the service control manager as the service
// TolmCaptureHelper.
#pragma once

namespace tolm {

// Hands the calling (main) thread to the service control manager. True once the service has run
// and reported stopped; false at once when the process was not started by the manager, whatever
// the reason, with nothing reported.
[[nodiscard]] bool run_dispatcher();

}  // namespace tolm
