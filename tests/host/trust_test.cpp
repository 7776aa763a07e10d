#include "base/trust.h"

#include <gtest/gtest.h>

namespace tolm {
namespace {

constexpr std::string_view kMe = "S-1-5-21-7-7-7-1001";
constexpr std::string_view kOther = "S-1-5-21-7-7-7-1002";

TEST(Trust, OnlySystemAdministratorsAndOwnAccountOwnWhatIsTrusted) {
  EXPECT_TRUE(is_trusted_owner("S-1-5-18", kMe));
  EXPECT_TRUE(is_trusted_owner("S-1-5-32-544", kMe));
  EXPECT_TRUE(is_trusted_owner(kMe, kMe));
  EXPECT_FALSE(is_trusted_owner(kOther, kMe));
  EXPECT_FALSE(is_trusted_owner("S-1-5-32-545", kMe));  // Users
  EXPECT_FALSE(is_trusted_owner("", kMe));              // no owner at all
  EXPECT_FALSE(is_trusted_owner("", ""));               // own account unknown
  EXPECT_FALSE(is_trusted_owner("S-1-5-18-1", kMe));    // a prefix is not the account
}

TEST(Trust, TheDataDirectoryIsUsedOnlyAsAPlainFolderOfATrustedOwner) {
  using enum FolderVerdict;
  const struct {
    bool path_link, handle_link;
    std::string_view owner;
    FolderVerdict verdict;
  } cases[] = {
      {false, false, "S-1-5-18", kUse},        {false, false, kMe, kUse},
      {false, false, kOther, kMoveAside},      {false, false, "", kMoveAside},
      {true, true, "S-1-5-18", kMoveAside},    {false, true, kMe, kMoveAside},
      {true, false, "S-1-5-18", kRefuse},  // the open went through the link
  };
  for (const auto& c : cases) {
    EXPECT_EQ(judge_data_directory({c.path_link, c.handle_link, c.owner}, kMe), c.verdict)
        << c.path_link << c.handle_link << " " << c.owner;
  }
}

}  // namespace
}  // namespace tolm
