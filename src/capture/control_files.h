// Portable. The control files that steer the capture (capture.target, display.index), parsed.
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

// Parsers, given the file's bytes or nothing when it could not be read.
[[nodiscard]] CaptureTarget parse_capture_target(std::optional<std::string_view> bytes);
[[nodiscard]] std::uint64_t parse_display_index(std::optional<std::string_view> bytes);

}  // namespace tolm
