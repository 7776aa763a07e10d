// Windows only. Checks that a frame shows the test pattern, cell by cell, at the centre of each
// cell; a helper run on the pattern for a whole suite.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "capture/frame.h"
#include "child_process.h"
#include "pattern_window.h"
#include "test_pattern.h"

namespace tolm::testing {

// `Picture`: a Frame, or a frame as a client reads it.
template <class Picture>
void expect_pattern(const Picture& f) {
  EXPECT_EQ(test_pattern::pattern_mismatch(f), "");
}

// A suite whose tests share one helper, run on the test pattern from the first test to the last.
class HelperOnPattern : public ::testing::Test {
 protected:
  // `changing_ms`: how often the pattern's corner takes another colour (0: never).
  static void start(const std::wstring& command_line, unsigned changing_ms = 0) {
    ASSERT_TRUE(pattern_.start(changing_ms));
    helper_ = std::make_unique<RunningChild>(command_line);
    ASSERT_TRUE(helper_->running());
  }
  static void TearDownTestSuite() {
    helper_.reset();
    pattern_.stop();
  }

 private:
  static inline test_pattern::PatternWindow pattern_;
  static inline std::unique_ptr<RunningChild> helper_;
};

}  // namespace tolm::testing
