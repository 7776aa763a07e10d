// Who is let in, what they asked for, the bytes of the answers, and the token file's rules.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "entry.h"
#include "server/access_token.h"
#include "server/request.h"

namespace tolm {
namespace {

// Who is let in, what they asked for, and the bytes of the answers.
using namespace std::string_literals;

const std::string kToken(64, 'a');

TEST(Authorization, LinesThatLetTheClientIn) {
  for (const std::string& request : {
           "AUTH " + kToken + "\nFRAME\n",
           "AUTH " + kToken + "\r\nFRAME\r\n",
           "auth " + kToken,
           " \t AUTH    " + kToken + " \xC2\xA0\n",
           "AUTH wrong\nAUTH " + kToken + "\n",
           "AUTH " + kToken + "\nAUTH wrong\n",
           "AUTH " + kToken + "\n\0"s,  // a NUL after the last line feed does no harm
       }) {
    EXPECT_TRUE(is_authorized(request, kToken)) << request;
  }
}

TEST(Authorization, LinesThatDoNot) {
  for (const std::string& request : {
           ""s,
           "FRAME\n"s,
           "Auth " + kToken,
           "AUTH\t" + kToken,
           "AUTH " + std::string(64, 'A'),
           "AUTH " + kToken + " FRAME",
           "AUTH " + kToken + "\0"s,  // a C string's terminator is part of the line
           "AUTH " + kToken.substr(1),
           "AUTH " + kToken + "a",
           "AUTH" + kToken,
       }) {
    EXPECT_FALSE(is_authorized(request, kToken)) << request;
  }
  EXPECT_FALSE(is_authorized("AUTH x\n", ""));
}

TEST(Request, FrameIsFoundInAnyCaseAnywhere) {
  EXPECT_TRUE(wants_frame("AUTH t\nframe"));
  EXPECT_TRUE(wants_frame("AUTH t\ngetFrame\n"));
  EXPECT_TRUE(wants_frame("xFRAMEx"));
  EXPECT_FALSE(wants_frame("AUTH t\nstatus\nFRAM\nE"));
  EXPECT_FALSE(wants_frame(""));
}

TEST(Responses, ErrorsAndFrameHeaderByteForByte) {
  EXPECT_EQ(kUnauthorizedResponse.size(), 40u);
  EXPECT_EQ(kNoFrameResponse.size(), 36u);
  Frame f;
  f.width = 0x01020304;
  f.height = 1;
  f.stride = 0x0A0B0C0D;
  f.pixels = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(frame_header(f), "RFRA\x04\x03\x02\x01\x01\0\0\0\x0D\x0C\x0B\x0A\x08\0\0\0"s);
}

TEST(Entry, OnlyTheExactFlagsAskForTheServerHere) {
  using Args = std::vector<std::string>;
  for (const Args& a : {Args{"p.exe", "--worker"}, Args{"p.exe", "x", "--console", "y"},
                        Args{"p.exe", "-c", "--worker"}, Args{"-c"}}) {
    EXPECT_TRUE(asks_for_in_process_server(a)) << a.back();
  }
  for (const Args& a : {Args{"p.exe"}, Args{"p.exe", "--Worker", "-C", "--worker=1", "-cx", "/c",
                                             " -c", "--console "}}) {
    EXPECT_FALSE(asks_for_in_process_server(a)) << a.back();
  }
}

const std::string kLower(64, 'a');
const std::string kDigits = "0123456789abcdefABCDEF0123456789abcdefABCDEF0123456789abcdefABCD";

std::string hex(const std::array<std::uint8_t, 16>& bytes) {
  TokenBytes wide{};
  std::copy(bytes.begin(), bytes.end(), wide.begin());
  return format_token(wide).substr(0, 32);
}

TEST(TokenFile, AcceptsTrimmedHexOfAtLeast64DigitsUnchanged) {
  ASSERT_EQ(kDigits.size(), 64u);
  // Trimmed as White_Space: U+00A0, U+3000, U+2029 and U+0085.
  EXPECT_EQ(accept_token_file("\xC2\xA0\xE3\x80\x80" + kDigits + "\xE2\x80\xA9\xC2\x85"), kDigits);
  const std::string long_token = kDigits + kDigits;
  EXPECT_EQ(accept_token_file(long_token + "\n"), long_token);
}

TEST(TokenFile, RejectsShortNonHexAndNonUtf8) {
  const std::string bad[] = {
      "",
      "\r\n",
      kLower.substr(0, 63),
      kLower.substr(0, 63) + " \n",
      kLower.substr(0, 32) + " " + kLower.substr(0, 32),
      "\xEF\xBB\xBF" + kLower,  // the byte-order mark U+FEFF is not White_Space
      kLower + "\xEF\xBB\xBF",
      kLower + "\xFF",  // invalid UTF-8 even where it would be trimmed
      "\xC2" + kLower,
      "\xC0\xA0" + kLower,  // overlong space
      kLower.substr(0, 63) + "g",
      "0x" + kLower,
      kLower.substr(0, 40) + "\xEF\xBC\xA1" + kLower.substr(0, 30),  // full-width A
      kLower + std::string(1, '\0'),
  };
  for (const std::string& text : bad) {
    EXPECT_EQ(accept_token_file(text), std::nullopt) << testing::PrintToString(text);
  }
}

// A file rewritten in place is empty for a moment: it is looked at once more before it is replaced.
// One that cannot be read is someone else's doing: the last token stays and none is made.
TEST(TokenFile, AFileWithoutATokenIsReadAgainOnceAMissingOneIsNotAnUnreadableOneIsKept) {
  const TokenFileRead missing{std::nullopt, true};
  const TokenFileRead held{std::nullopt, false};
  const auto file = [](std::string bytes) { return TokenFileRead{std::move(bytes), false}; };
  const struct {
    std::vector<TokenFileRead> reads;
    std::string token;
    bool make;
    int pauses;
  } cases[] = {
      {{file(kLower)}, kLower, false, 0},
      {{missing}, "", true, 0},
      {{file(""), file(kDigits)}, kDigits, false, 1},
      {{file(""), missing}, "", true, 1},
      {{file("abc"), file("abc")}, "", true, 1},
      {{held}, "last", false, 0},
      {{file(""), held}, "last", false, 1},
  };
  for (const auto& c : cases) {
    std::size_t next = 0;
    int pauses = 0;
    const TokenChoice choice =
        choose_token([&] { return c.reads.at(next++); }, [&] { ++pauses; }, "last");
    EXPECT_EQ(choice.token, c.token);
    EXPECT_EQ(choice.make, c.make);
    EXPECT_EQ(pauses, c.pauses);
    EXPECT_EQ(next, c.reads.size());
  }
}

TEST(FallbackSeed, ClockAsNanosecondsSince1970LittleEndian) {
  constexpr std::uint64_t k1970 = 116444736000000000ULL;
  EXPECT_EQ(hex(nanoseconds_since_1970(0)), std::string(32, '0'));
  EXPECT_EQ(hex(nanoseconds_since_1970(k1970 - 1)), std::string(32, '0'));
  EXPECT_EQ(hex(nanoseconds_since_1970(k1970)), std::string(32, '0'));
  EXPECT_EQ(hex(nanoseconds_since_1970(k1970 + 1)), "64" + std::string(30, '0'));
  // 2024-01-01 00:00:00.1234567 UTC.
  EXPECT_EQ(hex(nanoseconds_since_1970(133485408001234567ULL)), "bcccc0081710a6170000000000000000");
  // The largest FILETIME needs more than 64 bits of nanoseconds.
  EXPECT_EQ(hex(nanoseconds_since_1970(~0ULL)), "9cff95b3f484665e6300000000000000");
}

TEST(FallbackSeed, XorsClockBytesAndProcessIdMultiples) {
  TokenBytes zero{};
  mix_fallback_seed(zero, 133485408001234567ULL, 0x12345);
  EXPECT_EQ(format_token(zero), "f9460f1c4e8e453f6db2f73c81c60b502916df6cbefe956fbd02478cd1165ba0");
  // Before 1970 only the process id is mixed in, and the product may wrap around 32 bits.
  TokenBytes filled{};
  filled.fill(0xAA);
  mix_fallback_seed(filled, 0, 0xFFFFFFFF);
  EXPECT_EQ(format_token(filled),
            "55545756515053525d5c5f5e59585b5a45444746414043424d4c4f4e49484b4a");
}

}  // namespace
}  // namespace tolm
