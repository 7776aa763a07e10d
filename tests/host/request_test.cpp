// Who is let in, what they asked for, and the bytes of the answers.
#include <gtest/gtest.h>

#include "entry.h"
#include "server/request.h"

namespace tolm {
namespace {

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

}  // namespace
}  // namespace tolm
