// load_or_create_token against the real Wine file system and process creation. icacls.exe next to
// this program is the recorder (icacls_recorder.cpp), so what the tool was asked can be checked.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <thread>

#include "base/files.h"
#include "base/win_text.h"
#include "server/access_token_win.h"

namespace tolm {
namespace {

const std::string kTokenPath = data_file("capture.auth");
const std::string kArgsPath = data_file("icacls-args.txt");
// One recorded run: the arguments a line each, then "--".
const std::string kIcaclsRun =
    "C:\\ProgramData\\Tolm\\capture.auth\n/inheritance:r\n/grant:r\nSYSTEM:F\nAdministrators:F\n"
    "Users:R\n--\n";
const std::string kDigits = "0123456789abcdef0123456789ABCDEF0123456789abcdef0123456789ABCDEF";

bool is_made_token(const std::string& token) {
  return token.size() == 64 && token.find_first_not_of("0123456789abcdef") == std::string::npos;
}

std::string icacls_log() { return read_whole_file(kArgsPath).value_or(""); }

class TokenFile : public ::testing::Test {
 protected:
  void SetUp() override {
    (void)create_directories(kDataDirectory);
    DeleteFileW(to_wide(kTokenPath).c_str());
    DeleteFileW(to_wide(kArgsPath).c_str());
  }
};

// Which files hold a token is the host tests' part; here, what is done with the file.
TEST_F(TokenFile, AMissingOrInvalidFileIsReplacedAndRestrictedAValidOneIsLeftAlone) {
  ASSERT_TRUE(RemoveDirectoryW(to_wide(kDataDirectory).c_str()));
  const std::string token = load_or_create_token();
  EXPECT_TRUE(is_made_token(token)) << token;
  EXPECT_EQ(read_whole_file(kTokenPath), token);  // 64 bytes: no line end, no byte-order mark
  EXPECT_EQ(load_or_create_token(), token);
  EXPECT_EQ(icacls_log(), kIcaclsRun);

  ASSERT_TRUE(write_whole_file(kTokenPath, kDigits.substr(0, 63)));
  const std::string made = load_or_create_token();
  EXPECT_TRUE(is_made_token(made) && made != token) << made;
  EXPECT_EQ(read_whole_file(kTokenPath), made);
  EXPECT_EQ(icacls_log(), kIcaclsRun + kIcaclsRun);

  ASSERT_TRUE(write_whole_file(kTokenPath, " " + kDigits + "\r\n"));
  EXPECT_EQ(load_or_create_token(), kDigits);
  EXPECT_EQ(read_whole_file(kTokenPath), " " + kDigits + "\r\n");
  EXPECT_EQ(icacls_log(), kIcaclsRun + kIcaclsRun);
}

TEST_F(TokenFile, ATokenRewrittenInPlaceIsKept) {
  ASSERT_TRUE(write_whole_file(kTokenPath, ""));
  const std::string rotated(64, 'c');
  // Lands before the first look or between the two: either way the rotated token must win.
  std::thread rotator([&] { (void)write_whole_file(kTokenPath, rotated); });
  const std::string token = load_or_create_token();
  rotator.join();
  EXPECT_EQ(token, rotated);
  EXPECT_EQ(read_whole_file(kTokenPath), rotated);
  EXPECT_EQ(icacls_log(), "");
}

TEST_F(TokenFile, AnUnwritableFileGivesAFreshTokenOnEveryCall) {
  // A directory in the file's place can be neither read nor written as a file.
  ASSERT_TRUE(CreateDirectoryW(to_wide(kTokenPath).c_str(), nullptr));
  const std::string first = load_or_create_token();
  const std::string second = load_or_create_token();
  RemoveDirectoryW(to_wide(kTokenPath).c_str());
  EXPECT_TRUE(is_made_token(first));
  EXPECT_TRUE(is_made_token(second));
  EXPECT_NE(first, second);
  EXPECT_EQ(icacls_log(), "");  // icacls is pointed only at a file just written
}

}  // namespace
}  // namespace tolm
