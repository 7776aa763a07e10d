// UTF-8 and UTF-16, White_Space, and whose folders are trusted.
#include <gtest/gtest.h>

#include "base/text.h"
#include "base/trust.h"

namespace tolm {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";

TEST(Utf8, EachMaximalInvalidSubpartBecomesOneReplacement) {
  // The examples of the Unicode standard's "U+FFFD substitution of maximal subparts".
  EXPECT_EQ(decode_utf8_lossy("a\x80" "b"), "a" + kFffd + "b");
  EXPECT_EQ(decode_utf8_lossy("\xE1\x80" "b"), kFffd + "b");           // truncated 3-byte: one
  EXPECT_EQ(decode_utf8_lossy("\xF1\x80\x80"), kFffd);                 // truncated 4-byte at end
  EXPECT_EQ(decode_utf8_lossy("\xC0\xAF"), kFffd + kFffd);             // overlong lead: two
  EXPECT_EQ(decode_utf8_lossy("\xE0\x80\xAF"), kFffd + kFffd + kFffd); // overlong 3-byte
  EXPECT_EQ(decode_utf8_lossy("\xED\xA0\x80"), kFffd + kFffd + kFffd); // surrogate D800
  EXPECT_EQ(decode_utf8_lossy("\xF4\x90\x80\x80"), kFffd + kFffd + kFffd + kFffd);  // > U+10FFFF
  EXPECT_EQ(decode_utf8_lossy("\xFF"), kFffd);
  EXPECT_EQ(decode_utf8_lossy(std::string("x\0y", 3)), std::string("x\0y", 3));
  EXPECT_EQ(decode_utf8_lossy("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");
  EXPECT_FALSE(is_valid_utf8("\xEF\xBB"));
  EXPECT_TRUE(is_valid_utf8("\xEF\xBB\xBF" "1280x720"));
}

TEST(Utf16, RoundTripsAndReplacesUnpairedSurrogates) {
  EXPECT_EQ(utf8_to_utf16("A\xC3\xA9\xF0\x9F\x98\x80"),
            (std::u16string{u'A', 0xE9, 0xD83D, 0xDE00}));
  EXPECT_EQ(utf16_to_utf8(std::u16string{u'A', 0xE9, 0xD83D, 0xDE00}), "A\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(utf16_to_utf8(std::u16string{0xD800, u'x'}), kFffd + "x");
  EXPECT_EQ(utf16_to_utf8(std::u16string{u'x', 0xDC00}), "x" + kFffd);
  EXPECT_EQ(utf16_to_utf8(std::u16string{0xDC00, 0xD800}), kFffd + kFffd);  // wrong order
  EXPECT_EQ(utf8_to_utf16("a\xFF"), (std::u16string{u'a', 0xFFFD}));
  const std::u16string edges{0x7F, 0x80, 0x7FF, 0x800, 0xFFFF, 0xD800, 0xDC00, 0xDBFF, 0xDFFF};
  EXPECT_EQ(utf8_to_utf16(utf16_to_utf8(edges)), edges);
}

TEST(Trim, RemovesExactlyTheWhiteSpaceProperty) {
  EXPECT_EQ(trim_white_space(" \t\r\n\v\f Default \r\n"), "Default");
  // U+0085, U+00A0, U+1680, U+2000, U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
  const std::string all =
      "\xC2\x85\xC2\xA0\xE1\x9A\x80\xE2\x80\x80\xE2\x80\x8A\xE2\x80\xA8\xE2\x80\xA9"
      "\xE2\x80\xAF\xE2\x81\x9F\xE3\x80\x80";
  EXPECT_EQ(trim_white_space(all + "x y" + all), "x y");
  // Not white space: BOM, zero-width space U+200B, NUL, U+001C, U+180E.
  for (const std::string& keep : {std::string("\xEF\xBB\xBF"), std::string("\xE2\x80\x8B"),
                                  std::string(1, '\0'), std::string("\x1C"),
                                  std::string("\xE1\xA0\x8E")}) {
    EXPECT_EQ(trim_white_space(keep + "x" + keep), keep + "x" + keep);
  }
  EXPECT_EQ(trim_white_space(" \xE3\x80\x80 "), "");
}

constexpr std::string_view kMe = "S-1-5-21-7-7-7-1001";
constexpr std::string_view kOther = "S-1-5-21-7-7-7-1002";

TEST(Trust, TheDataDirectoryIsUsedOnlyAsAPlainFolderOfATrustedOwner) {
  using enum FolderVerdict;
  const struct {
    bool path_link, handle_link;
    std::string_view owner;
    FolderVerdict verdict;
  } cases[] = {
      {false, false, "S-1-5-18", kUse},        {false, false, kMe, kUse},
      {false, false, kOther, kMoveAside},      {false, false, "", kMoveAside},
      {false, false, "S-1-5-32-544", kUse},    {false, false, "S-1-5-32-545", kMoveAside},
      {false, false, "S-1-5-18-1", kMoveAside},  // a prefix is not the account
      {true, true, "S-1-5-18", kMoveAside},    {false, true, kMe, kMoveAside},
      {true, false, "S-1-5-18", kRefuse},  // the open went through the link
  };
  for (const auto& c : cases) {
    EXPECT_EQ(judge_data_directory({c.path_link, c.handle_link, c.owner}, kMe), c.verdict)
        << c.path_link << c.handle_link << " " << c.owner;
  }
  EXPECT_EQ(judge_data_directory({false, false, ""}, ""), kMoveAside);  // own account unknown
}

// A folder others may add to, or change, could be made a mount point under the helper's feet.
TEST(Trust, AFolderOthersMayChangeIsFound) {
  const AccessEntry entries[] = {
      {true, false, 0x1200a9, "S-1-5-32-545"},  // read and list
      {true, true, 0x1f01ff, "S-1-3-0"},        // for what is made inside only
      {false, false, 0x1f01ff, "S-1-1-0"},      // a deny entry grants nothing
      {true, false, 0x1f01ff, "S-1-5-18"},      {true, false, 0x1f01ff, std::string(kMe)},
      {true, false, 0x1f01ff, "S-1-3-4"},       // the owner, whose trust is judged apart
  };
  EXPECT_FALSE(others_may_change(entries, kMe));
  // Reading is enough to hold a file open with no sharing.
  EXPECT_TRUE(others_may_open(entries, kMe));
  EXPECT_FALSE(others_may_open(std::span(entries).subspan(1), kMe));
  for (const std::uint32_t mask : {0x2u, 0x4u, 0x40u, 0x40000u, 0x40000000u}) {
    const AccessEntry entry{true, false, mask, "S-1-5-32-545"};
    EXPECT_TRUE(others_may_change(std::span(&entry, 1), kMe)) << mask;
  }
  // An entry of a kind that is not understood comes as a stranger's with every right.
  const AccessEntry stranger{true, false, 0xFFFFFFFF, ""};
  EXPECT_TRUE(others_may_change(std::span(&stranger, 1), kMe));
}

// An elevated client's own account could be a medium-integrity process of the same user.
TEST(Trust, AnElevatedClientTrustsOnlySystemAndAdministratorsToServe) {
  for (const bool elevated : {false, true}) {
    EXPECT_TRUE(is_trusted_server("S-1-5-18", kMe, elevated));
    EXPECT_TRUE(is_trusted_server("S-1-5-32-544", kMe, elevated));
    EXPECT_EQ(is_trusted_server(kMe, kMe, elevated), !elevated);
    EXPECT_FALSE(is_trusted_server("", "", elevated));
  }
}

}  // namespace
}  // namespace tolm
