// Windows only. The control files read from the data directory, and the record of the last pass
// without any picture (capture.last-error.txt).
#pragma once

#include <cstdint>
#include <string_view>

#include "protocol/control_files.h"

namespace tolm {

// Read afresh on every call; never fail.
[[nodiscard]] CaptureTarget read_capture_target();
[[nodiscard]] std::uint64_t read_display_index();

// Replaces capture.last-error.txt with `text` and one line feed. The data directory is not
// created for it; failures are ignored.
void write_last_error(std::string_view text);

}  // namespace tolm
