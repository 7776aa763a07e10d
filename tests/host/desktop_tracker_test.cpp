// The order of the desktops a pass tries, and the decoding of the names the system hands over.
#include <gtest/gtest.h>

#include "capture/desktop_tracker.h"

namespace tolm {
namespace {

using Names = std::vector<std::string>;

Names names(std::optional<std::string_view> remembered, const Names& enumerated) {
  const std::vector<DesktopCandidate> list = build_candidate_list(remembered, enumerated);
  EXPECT_FALSE(list.at(0).name.has_value());
  Names out;
  for (const DesktopCandidate& c : list) out.emplace_back(c.key());
  return out;
}

TEST(CandidateList, InputFirstThenRememberedThenFixedThenNewEnumeratedNames) {
  const Names fixed{"__input__", "Winlogon", "Default", "Screen-saver", "Disconnect"};
  EXPECT_EQ(names(std::nullopt, {"Default", "Winlogon"}), fixed);
  // A remembered fixed name moves up to second place; surrounding white space is not part of it.
  EXPECT_EQ(names("  Default\r\n", {"Default", "Kiosk", "Kiosk", "Winlogon"}),
            (Names{"__input__", "Default", "Winlogon", "Screen-saver", "Disconnect", "Kiosk"}));
  for (const char* useless : {"", " \t\r\n", "\xC2\xA0\xE3\x80\x80", "__input__", "Kiosk\xFF"}) {
    EXPECT_EQ(names(useless, {}), fixed) << useless;
  }
  // Names are compared byte for byte: a lower-case "default" is a desktop of its own.
  EXPECT_EQ(names("default", {"default", "__input__"}),
            (Names{"__input__", "default", "Winlogon", "Default", "Screen-saver", "Disconnect"}));
}

TEST(DesktopNameUnits, NamesAreCutAt257UnitsAndBadSurrogatesReplaced) {
  EXPECT_EQ(desktop_name_from_units(std::u16string(300, u'a').c_str()), std::string(257, 'a'));
  EXPECT_EQ(desktop_name_from_units(u"Win\xD800x"), "Win\xEF\xBF\xBDx");
  EXPECT_EQ(desktop_name_from_units(u"\xD83D\xDE00"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(desktop_name_from_units(u""), "");
}

TEST(DesktopNameUnits, NeededBytesGiveTheUnitsBeforeTheTerminatorAtMost256) {
  EXPECT_EQ(name_units_from_needed(16), 7u);  // "Default" and its NUL
  EXPECT_EQ(name_units_from_needed(17), 7u);
  EXPECT_EQ(name_units_from_needed(1), 0u);
  EXPECT_EQ(name_units_from_needed(0), 0u);
  EXPECT_EQ(name_units_from_needed(0xFFFFFFFFu), 256u);
}

}  // namespace
}  // namespace tolm
