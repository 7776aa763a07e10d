// load_or_create_token against the real Wine file system and process creation. icacls.exe next to
// this program is the recorder (icacls_recorder.cpp), so what the tool was asked can be checked.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <thread>

#include "base/files.h"
#include "base/handles.h"
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

std::string repeated(const std::string& s, int n) {
  std::string out;
  while (n-- > 0) out += s;
  return out;
}

std::uint64_t last_write_time(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(to_wide(path).c_str(), GetFileExInfoStandard, &data)) return 0;
  return (std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) |
         data.ftLastWriteTime.dwLowDateTime;
}

// Back-dates the file to 2001, so that any rewrite shows in its last-write time.
void back_date(const std::string& path) {
  const UniqueFile file(CreateFileW(to_wide(path).c_str(), FILE_WRITE_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(file);
  const FILETIME old{0x0D53E800, 0x01C0D8B9};
  ASSERT_TRUE(SetFileTime(file.get(), nullptr, nullptr, &old));
}

class TokenFile : public ::testing::Test {
 protected:
  void SetUp() override {
    (void)create_directories(kDataDirectory);
    DeleteFileW(to_wide(kTokenPath).c_str());
    DeleteFileW(to_wide(kArgsPath).c_str());
  }
};

TEST_F(TokenFile, AMissingFileIsMadeRestrictedAndReadAgainOnEveryCall) {
  ASSERT_TRUE(RemoveDirectoryW(to_wide(kDataDirectory).c_str()));
  const std::string token = load_or_create_token();
  EXPECT_TRUE(is_made_token(token)) << token;
  EXPECT_EQ(read_whole_file(kTokenPath), token);  // 64 bytes: no line end, no byte-order mark
  EXPECT_EQ(load_or_create_token(), token);
  EXPECT_EQ(icacls_log(), kIcaclsRun);

  const std::string next(64, 'B');
  ASSERT_TRUE(write_whole_file(kTokenPath, next));
  EXPECT_EQ(load_or_create_token(), next);
}

TEST_F(TokenFile, ValidFilesAreReturnedTrimmedAndLeftAlone) {
  const struct {
    std::string bytes;
    std::string token;
  } cases[] = {{kDigits + "\r\n", kDigits},
               {std::string(64, 'E'), std::string(64, 'E')},
               {" \t" + kDigits + kDigits + "\xE3\x80\x80\n", kDigits + kDigits}};
  for (const auto& c : cases) {
    ASSERT_TRUE(write_whole_file(kTokenPath, c.bytes));
    back_date(kTokenPath);
    const std::uint64_t written = last_write_time(kTokenPath);
    EXPECT_EQ(load_or_create_token(), c.token);
    EXPECT_EQ(read_whole_file(kTokenPath), c.bytes);
    EXPECT_EQ(last_write_time(kTokenPath), written) << c.token;
  }
  EXPECT_EQ(icacls_log(), "");
}

TEST_F(TokenFile, InvalidFilesAreReplacedByANewToken) {
  const std::string bad[] = {kDigits.substr(0, 63),
                             kDigits.substr(0, 32) + " " + kDigits.substr(32),
                             "\xEF\xBB\xBF" + kDigits, kDigits + "\xFF\r\n"};
  int runs = 0;
  for (const std::string& bytes : bad) {
    ASSERT_TRUE(write_whole_file(kTokenPath, bytes));
    const std::string token = load_or_create_token();
    EXPECT_TRUE(is_made_token(token)) << token;
    EXPECT_EQ(read_whole_file(kTokenPath), token);
    EXPECT_EQ(icacls_log(), repeated(kIcaclsRun, ++runs));
  }
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
