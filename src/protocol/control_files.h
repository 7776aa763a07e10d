// Portable. The control files that steer the capture (capture.target, display.index). The
// product's programs write them, the helper reads them, the client's check says what they hold.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tolm {

// The box a picture is fitted in: at least this small, at most this large.
inline constexpr std::uint32_t kMinTargetWidth = 640, kMinTargetHeight = 360;
inline constexpr std::uint32_t kMaxTargetWidth = 2560, kMaxTargetHeight = 1440;

struct CaptureTarget {
  std::uint32_t width = 1920;
  std::uint32_t height = 1080;
  friend bool operator==(const CaptureTarget&, const CaptureTarget&) = default;
};

// Parsers, given the file's bytes or nothing when it could not be read; nothing when the bytes are
// not a setting.
[[nodiscard]] std::optional<CaptureTarget> capture_target_setting(std::string_view bytes);
[[nodiscard]] std::optional<std::uint64_t> display_index_setting(std::string_view bytes);

// What a program that steers the helper writes: "1280x720", and the monitor's number.
[[nodiscard]] std::string format_capture_target(const CaptureTarget& target);
[[nodiscard]] std::string format_display_index(std::uint64_t index);

// The same with the defaults for a file that is missing or holds no setting.
[[nodiscard]] CaptureTarget parse_capture_target(std::optional<std::string_view> bytes);
[[nodiscard]] std::uint64_t parse_display_index(std::optional<std::string_view> bytes);

}  // namespace tolm
