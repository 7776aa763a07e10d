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
  EXPECT_EQ(test_pattern::pattern_mismatch(f), "");
}

}  // namespace tolm::testing
