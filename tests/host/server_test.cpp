// Who is let in, what they asked for, the bytes of the answers, and the token file's rules.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "entry.h"
#include "server/access_token.h"
#include "protocol/request.h"

namespace tolm {
namespace {

// Who is let in, what they asked for, and the bytes of the answers.
using namespace std::string_literals;

const std::string kToken(64, 'a');

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
