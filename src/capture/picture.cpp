#include "capture/picture.h"

#include <algorithm>
#include <cmath>

namespace tolm {
namespace {

// Rounds half away from zero and saturates to the signed 32-bit range.
std::int32_t round_to_int32(float v) {
  const float r = std::round(v);
  if (!(r < 2147483648.0f)) return 2147483647;
  if (r < -2147483648.0f) return -2147483647 - 1;
  return static_cast<std::int32_t>(r);
}

}  // namespace

OutputSize output_size(std::int32_t source_width, std::int32_t source_height,
                       std::uint32_t target_width, std::uint32_t target_height) {
  const std::int64_t w = source_width;
  const std::int64_t h = source_height;
  const std::int64_t a = std::max<std::int64_t>(std::min<std::int64_t>(w, target_width), 320);
  const std::int64_t b = std::max<std::int64_t>(std::min<std::int64_t>(h, target_height), 180);
  const float fw = static_cast<float>(w);
  const float fh = static_cast<float>(h);
  const float s = std::min(static_cast<float>(a) / fw, static_cast<float>(b) / fh);
  return {std::max(round_to_int32(fw * s), 320), std::max(round_to_int32(s * fh), 180)};
}

int bright_sample_count(std::span<const std::uint8_t> pixels) noexcept {
  const std::size_t n = pixels.size();
  const std::size_t step = std::max<std::size_t>(n / 4096, 32);
  int bright = 0;
  for (std::size_t j = 0; j < 256; ++j) {
    const std::size_t p = 2 + j * step;
    if (p >= n) break;
    if ((pixels[p - 2] | pixels[p - 1] | pixels[p]) >= 13) ++bright;
  }
  return bright;
}

bool is_blank(std::span<const std::uint8_t> pixels) noexcept {
  if (bright_sample_count(pixels) != 0) return false;
  for (std::size_t i = 0; i < pixels.size(); i += 64) {
    if (pixels[i] != 0) return false;
  }
  return true;
}

}  // namespace tolm
