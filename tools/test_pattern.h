// Portable. The picture that tolm-test-pattern.exe paints, shared by the tests and benchmarks that
// check it.
#pragma once

#include <cstdint>

namespace tolm::test_pattern {

inline constexpr int kColumns = 8;
inline constexpr int kRows = 4;

struct Rgb {
  std::uint8_t red, green, blue;
};

// Every cell has its own colour; every channel is far from 0 so the picture is never "dark".
constexpr Rgb cell_colour(int column, int row) {
  return {static_cast<std::uint8_t>(30 + 28 * column), static_cast<std::uint8_t>(40 + 60 * row),
          static_cast<std::uint8_t>(250 - 25 * column - 10 * row)};
}

}  // namespace tolm::test_pattern
