#include <string>

#include "protocol/control_files.h"
#include "base/text.h"

namespace tolm {
namespace {

std::uint32_t clamp(unsigned long long v, std::uint32_t lo, std::uint32_t hi) {
  return v < lo ? lo : v > hi ? hi : static_cast<std::uint32_t>(v);
}

}  // namespace

std::string format_capture_target(const CaptureTarget& target) {
  return std::to_string(target.width) + "x" + std::to_string(target.height);
}

std::string format_display_index(std::uint64_t index) { return std::to_string(index); }

std::optional<CaptureTarget> capture_target_setting(std::string_view bytes) {
  if (!is_valid_utf8(bytes)) return std::nullopt;
  std::string text(trim_white_space(bytes));
  for (char& c : text) c = ascii_lower(c);
  const std::size_t x = text.find('x');
  if (x == std::string::npos) return std::nullopt;
  unsigned long long width = 0;
  unsigned long long height = 0;
  const std::string_view view(text);
  if (!parse_unsigned(view.substr(0, x), 0xFFFFFFFFULL, width) ||
      !parse_unsigned(view.substr(x + 1), 0xFFFFFFFFULL, height)) {
    return std::nullopt;
  }
  return CaptureTarget{clamp(width, kMinTargetWidth, kMaxTargetWidth),
                       clamp(height, kMinTargetHeight, kMaxTargetHeight)};
}

std::optional<std::uint64_t> display_index_setting(std::string_view bytes) {
  unsigned long long index = 0;
  if (!is_valid_utf8(bytes) || !parse_unsigned(trim_white_space(bytes), ~0ULL, index)) {
    return std::nullopt;
  }
  return index;
}

CaptureTarget parse_capture_target(std::optional<std::string_view> bytes) {
  return bytes ? capture_target_setting(*bytes).value_or(CaptureTarget{}) : CaptureTarget{};
}

std::uint64_t parse_display_index(std::optional<std::string_view> bytes) {
  return bytes ? display_index_setting(*bytes).value_or(0) : 0;
}

}  // namespace tolm
