// Portable. The picture that tolm-test-pattern.exe paints, shared by the tests and benchmarks that
// check it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tolm::test_pattern {

inline constexpr int kColumns = 8;
inline constexpr int kRows = 4;
// The corner that changes in --changing mode, in screen pixels: far from every cell's centre.
inline constexpr int kChangingSquare = 64;

struct Rgb {
  std::uint8_t red, green, blue;
};

// Every cell has its own colour; every channel is far from 0 so the picture is never "dark".
constexpr Rgb cell_colour(int column, int row) {
  return {static_cast<std::uint8_t>(30 + 28 * column), static_cast<std::uint8_t>(40 + 60 * row),
          static_cast<std::uint8_t>(250 - 25 * column - 10 * row)};
}

// "" when the picture (a frame, or a frame as a client reads it: width, height, stride, pixels as
// blue, green, red, reserved) shows the pattern at the centre of every cell, whatever its scale;
// otherwise what the first wrong cell shows.
template <class Picture>
std::string pattern_mismatch(const Picture& f) {
  for (int row = 0; row < kRows; ++row) {
    for (int column = 0; column < kColumns; ++column) {
      const auto x = static_cast<std::uint32_t>((2 * column + 1) * f.width / (2 * kColumns));
      const auto y = static_cast<std::uint32_t>((2 * row + 1) * f.height / (2 * kRows));
      const Rgb want = cell_colour(column, row);
      const std::uint8_t* p = &f.pixels[static_cast<std::size_t>(y) * f.stride + x * 4];
      if (p[2] != want.red || p[1] != want.green || p[0] != want.blue) {
        return "cell " + std::to_string(column) + "," + std::to_string(row) + " at " +
               std::to_string(x) + "," + std::to_string(y) + ": got " + std::to_string(p[2]) +
               "," + std::to_string(p[1]) + "," + std::to_string(p[0]);
      }
    }
  }
  return {};
}

}  // namespace tolm::test_pattern
