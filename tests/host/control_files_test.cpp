#include <gtest/gtest.h>

#include "capture/control_files.h"

namespace tolm {
namespace {

CaptureTarget target(std::string_view text) { return parse_capture_target(text); }
const CaptureTarget kDefault{1920, 1080};

TEST(CaptureTargetFile, AcceptedFormsAndClamping) {
  EXPECT_EQ(target("1280x720"), (CaptureTarget{1280, 720}));
  EXPECT_EQ(target("  1280X720\r\n"), (CaptureTarget{1280, 720}));
  EXPECT_EQ(target("+1280x+720"), (CaptureTarget{1280, 720}));
  EXPECT_EQ(target("100x100"), (CaptureTarget{640, 360}));
  EXPECT_EQ(target("4000x3000"), (CaptureTarget{2560, 1440}));
  EXPECT_EQ(target("3000x200"), (CaptureTarget{2560, 360}));
  EXPECT_EQ(target("4294967295x0"), (CaptureTarget{2560, 360}));
}

TEST(CaptureTargetFile, AnythingMalformedGivesTheDefault) {
  for (const char* bad :
       {"1280 x 720", "x720", "1280x", "1280x720x5", "-1280x720", "1280*720", "12800000000x720",
        "", "\xEF\xBB\xBF" "1280x720", "1280x72\xFF", "1280x4294967296", "+x720"}) {
    EXPECT_EQ(target(bad), kDefault) << bad;
  }
  EXPECT_EQ(parse_capture_target(std::nullopt), kDefault);
}

TEST(DisplayIndexFile, ParsesOrFallsBackToZero) {
  EXPECT_EQ(parse_display_index("1\r\n"), 1u);
  EXPECT_EQ(parse_display_index("+2"), 2u);
  EXPECT_EQ(parse_display_index("18446744073709551615"), ~0ULL);
  for (const char* bad : {"-1", "ab", "", "\xEF\xBB\xBF" "1", "18446744073709551616", "1 2"}) {
    EXPECT_EQ(parse_display_index(bad), 0u) << bad;
  }
  EXPECT_EQ(parse_display_index(std::nullopt), 0u);
}

}  // namespace
}  // namespace tolm
