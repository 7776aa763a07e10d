// The order of the desktops a pass tries, and the decoding of the names the system hands over.
#include <gtest/gtest.h>

#include "capture/desktop_tracker.h"

namespace tolm {
namespace {

std::vector<std::string> names(const std::vector<DesktopCandidate>& list) {
  std::vector<std::string> out;
  for (const DesktopCandidate& c : list) out.emplace_back(c.key());
  return out;
}

using Names = std::vector<std::string>;

TEST(CandidateList, InputFirstThenRememberedThenFixedThenNewEnumeratedNames) {
  const Names enumerated{"Default", "Winlogon"};
  EXPECT_EQ(names(build_candidate_list(std::nullopt, enumerated)),
            (Names{"__input__", "Winlogon", "Default", "Screen-saver", "Disconnect"}));
  EXPECT_FALSE(build_candidate_list(std::nullopt, enumerated)[0].name.has_value());

  // A remembered fixed name moves up to second place; surrounding white space is not part of it.
  const Names with_own{"Default", "Kiosk", "Kiosk", "Winlogon"};
  EXPECT_EQ(names(build_candidate_list("  Default\r\n", with_own)),
            (Names{"__input__", "Default", "Winlogon", "Screen-saver", "Disconnect", "Kiosk"}));
}

TEST(CandidateList, RememberedNamesThatAddNothingOrStandApart) {
  const Names fixed{"__input__", "Winlogon", "Default", "Screen-saver", "Disconnect"};
  for (const char* useless : {"", " \t\r\n", "\xC2\xA0\xE3\x80\x80", "__input__", "Kiosk\xFF"}) {
    EXPECT_EQ(names(build_candidate_list(useless, {})), fixed) << useless;
  }
  // Names are compared byte for byte: a lower-case "default" is a desktop of its own.
  const Names enumerated{"default", "__input__"};
  EXPECT_EQ(names(build_candidate_list("default", enumerated)),
            (Names{"__input__", "default", "Winlogon", "Default", "Screen-saver", "Disconnect"}));
}

TEST(DesktopNameUnits, EnumeratedNamesAreCutAt257UnitsAndBadSurrogatesReplaced) {
  std::u16string long_name(300, u'a');
  EXPECT_EQ(desktop_name_from_units(long_name.c_str()), std::string(257, 'a'));
  EXPECT_EQ(desktop_name_from_units(u"Win\xD800x"), "Win\xEF\xBF\xBDx");
  EXPECT_EQ(desktop_name_from_units(u"\xD83D\xDE00"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(desktop_name_from_units(u""), "");
}

TEST(DesktopNameUnits, NeededBytesGiveTheUnitsBeforeTheTerminator) {
  EXPECT_EQ(name_units_from_needed(16), 7u);  // "Default" and its NUL
  EXPECT_EQ(name_units_from_needed(17), 7u);
  EXPECT_EQ(name_units_from_needed(1), 0u);
  EXPECT_EQ(name_units_from_needed(0), 0u);
  EXPECT_EQ(name_units_from_needed(2), 0u);
  EXPECT_EQ(name_units_from_needed(514), 256u);
  EXPECT_EQ(name_units_from_needed(0xFFFFFFFFu), 256u);
}

}  // namespace
}  // namespace tolm
