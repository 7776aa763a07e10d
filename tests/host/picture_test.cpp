#include <gtest/gtest.h>

#include <vector>

#include "capture/picture.h"

namespace tolm {
namespace {

TEST(OutputSize, KeepsTheRatioWithinTargetAndMinimum) {
  struct Case {
    int w, h;
    unsigned tw, th;
    int ow, oh;
  };
  for (const Case c :
       {Case{1920, 1080, 1920, 1080, 1920, 1080}, Case{2560, 1440, 1920, 1080, 1920, 1080},
        Case{1920, 1200, 1920, 1080, 1728, 1080}, Case{2560, 1080, 1920, 1080, 1920, 810},
        Case{1366, 768, 1920, 1080, 1366, 768}, Case{4000, 1000, 640, 360, 640, 180},
        Case{200, 100, 1920, 1080, 320, 180}, Case{1921, 1080, 1920, 1080, 1920, 1079},
        Case{2147483647, 1, 2560, 1440, 2560, 180},
        // 719.65 rounds up; 960.5 rounds half away from zero.
        Case{1366, 768, 1280, 720, 1280, 720}, Case{1921, 2160, 1920, 1080, 961, 1080}}) {
    EXPECT_EQ(output_size(c.w, c.h, c.tw, c.th), (OutputSize{c.ow, c.oh}))
        << c.w << "x" << c.h << " into " << c.tw << "x" << c.th;
  }
}

TEST(BrightSamples, SamplesEvenlyAndCountsOrOfThreeBytes) {
  // 1920x1080x4 bytes: step 2025, samples at 2, 2027, ...
  std::vector<std::uint8_t> px(1920 * 1080 * 4, 0);
  EXPECT_EQ(bright_sample_count(px), 0);
  px[2025] = 8;  // OR of bytes 2025..2027 = 8 | 5 = 13
  px[2026] = 5;
  EXPECT_EQ(bright_sample_count(px), 1);
  px[2026] = 4;  // 8 | 4 = 12
  EXPECT_EQ(bright_sample_count(px), 0);
  px[2026] = 8;  // 8 | 8 = 8, though 8 + 8 = 16
  EXPECT_EQ(bright_sample_count(px), 0);
  std::fill(px.begin(), px.end(), 255);
  EXPECT_EQ(bright_sample_count(px), 256);
  // Small buffers: step 32, stop at the first sample beyond the end.
  EXPECT_EQ(bright_sample_count(std::vector<std::uint8_t>(100, 20)), 4);  // 2, 34, 66, 98
  EXPECT_EQ(bright_sample_count(std::vector<std::uint8_t>(2, 20)), 0);
  EXPECT_EQ(bright_sample_count({}), 0);
}

TEST(BlankTest, DarkButNonZeroAtSixtyFourthByteIsNotBlank) {
  std::vector<std::uint8_t> px(320 * 180 * 4, 0);
  EXPECT_TRUE(is_blank(px));
  px[65] = 12;  // not a multiple of 64 and not bright
  EXPECT_TRUE(is_blank(px));
  px[64 * 7] = 1;
  EXPECT_FALSE(is_blank(px));
  EXPECT_TRUE(is_blank({}));
}

}  // namespace
}  // namespace tolm
