// Writes the status file to its locations. Windows only; nothing is reported back.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "capture/frame.h"

namespace tolm {

// The worker variant, from the shared state, to all three locations.
void write_status(const CaptureState& state);

// The service variant with `note`, to the first two locations only.
void write_service_status(std::string_view note);

// The data directory's copy, C:\Windows\Temp's, then the process's temporary directory's (left out
// when the system reports none). Built afresh on every call.
[[nodiscard]] std::vector<std::string> status_file_paths();

}  // namespace tolm
