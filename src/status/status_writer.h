// Windows only. Writes the status file to its locations; nothing is reported back.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/locations_win.h"
#include "protocol/status_document.h"

namespace tolm {

// The worker variant to all three locations.
void write_status(const StatusSnapshot& snapshot);

// The service variant with `note`, to the first two locations only.
void write_service_status(std::string_view note);

// The answer to a status request: the worker variant written now to every location, and the first
// location this call could write read back through the handle it wrote with, as it is; the document
// just written when that file is not one line ended by a line feed (another of the helper's
// processes is rewriting it); nothing when no location could be written.
[[nodiscard]] std::optional<std::string> write_and_read_back_status(const StatusSnapshot& snapshot);

}  // namespace tolm
