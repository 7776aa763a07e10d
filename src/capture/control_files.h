// The control files that steer the capture (capture.target, display.index) and the record of the
// last pass without any picture (capture.last-error.txt).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tolm {

struct CaptureTarget {
  std::uint32_t width = 1920;   // 640..2560
  std::uint32_t height = 1080;  // 360..1440
  friend bool operator==(const CaptureTarget&, const CaptureTarget&) = default;
};

// Portable parsers, given the file's bytes or nothing when it could not be read.
[[nodiscard]] CaptureTarget parse_capture_target(std::optional<std::string_view> bytes);
[[nodiscard]] std::uint64_t parse_display_index(std::optional<std::string_view> bytes);

// Windows: read the files afresh on every call; never fail.
[[nodiscard]] CaptureTarget read_capture_target();
[[nodiscard]] std::uint64_t read_display_index();

// Windows: replaces capture.last-error.txt with `text` and one line feed. The data directory is
// not created for it; failures are ignored.
void write_last_error(std::string_view text);

}  // namespace tolm
