#include <string>

#include "base/text.h"
#include "capture/control_files.h"

namespace tolm {
namespace {

std::uint32_t clamp(unsigned long long v, std::uint32_t lo, std::uint32_t hi) {
  return v < lo ? lo : v > hi ? hi : static_cast<std::uint32_t>(v);
}

}  // namespace

CaptureTarget parse_capture_target(std::optional<std::string_view> bytes) {
  const CaptureTarget fallback;
  if (!bytes || !is_valid_utf8(*bytes)) return fallback;
  std::string text(trim_white_space(*bytes));
  for (char& c : text) c = ascii_lower(c);
  const std::size_t x = text.find('x');
  if (x == std::string::npos) return fallback;
  unsigned long long width = 0;
  unsigned long long height = 0;
  const std::string_view view(text);
  if (!parse_unsigned(view.substr(0, x), 0xFFFFFFFFULL, width) ||
      !parse_unsigned(view.substr(x + 1), 0xFFFFFFFFULL, height)) {
    return fallback;
  }
  return {clamp(width, 640, 2560), clamp(height, 360, 1440)};
}

std::uint64_t parse_display_index(std::optional<std::string_view> bytes) {
  if (!bytes || !is_valid_utf8(*bytes)) return 0;
  unsigned long long index = 0;
  return parse_unsigned(trim_white_space(*bytes), ~0ULL, index) ? index : 0;
}

}  // namespace tolm
