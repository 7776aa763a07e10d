// Portable. Arithmetic of the grab that needs no system: output size, bright samples, the blank
// test.
#pragma once

#include <cstdint>
#include <span>

namespace tolm {

struct OutputSize {
  std::int32_t width = 0;
  std::int32_t height = 0;
  friend bool operator==(const OutputSize&, const OutputSize&) = default;
};

// Fits a source of `source_width` x `source_height` (both above 0) into the target box, keeping
// the aspect ratio up to rounding, never below 320 x 180. Single precision, as the scaling always
// was, so that every size a client has seen stays the same.
[[nodiscard]] OutputSize output_size(std::int32_t source_width, std::int32_t source_height,
                                     std::uint32_t target_width, std::uint32_t target_height);

// Up to 256 evenly spaced samples; a sample is bright when the OR of its three bytes is 13 or more.
[[nodiscard]] int bright_sample_count(std::span<const std::uint8_t> pixels) noexcept;

// True for a picture with no bright sample and nothing but zeros at every 64th byte.
[[nodiscard]] bool is_blank(std::span<const std::uint8_t> pixels) noexcept;

}  // namespace tolm
