// Windows only. Checks that a frame shows the test pattern, cell by cell, at the centre of each
// cell.
#pragma once

#include <gtest/gtest.h>

#include "capture/frame.h"
#include "test_pattern.h"

namespace tolm::testing {

// `Picture`: a Frame, or a frame as a client reads it.
template <class Picture>
void expect_pattern(const Picture& f) {
  namespace tp = test_pattern;
  for (int row = 0; row < tp::kRows; ++row) {
    for (int column = 0; column < tp::kColumns; ++column) {
      const auto x = static_cast<std::uint32_t>((2 * column + 1) * f.width / (2 * tp::kColumns));
      const auto y = static_cast<std::uint32_t>((2 * row + 1) * f.height / (2 * tp::kRows));
      const tp::Rgb want = tp::cell_colour(column, row);
      const std::uint8_t* p = &f.pixels[static_cast<std::size_t>(y) * f.stride + x * 4];
      const tp::Rgb got{p[2], p[1], p[0]};
      EXPECT_TRUE(got.red == want.red && got.green == want.green && got.blue == want.blue)
          << "cell " << column << "," << row << " at " << x << "," << y << ": got " << +got.red
          << "," << +got.green << "," << +got.blue;
    }
  }
}

}  // namespace tolm::testing
