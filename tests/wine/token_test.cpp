// load_or_create_token against the real Wine file system and process creation. icacls.exe next to
// this program is the recorder (icacls_recorder.cpp), so what the tool was asked can be checked.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "base/files.h"
#include "base/handles.h"
#include "base/win_text.h"
#include "server/access_token.h"

namespace tolm {
namespace {

const std::string kTokenPath = data_file("capture.auth");
const std::string kArgsPath = data_file("icacls-args.txt");
const std::vector<std::string> kIcaclsArguments{"C:\\ProgramData\\Tolm\\capture.auth",
                                                "/inheritance:r",
                                                "/grant:r",
                                                "SYSTEM:F",
                                                "Administrators:F",
                                                "Users:R"};
const std::string kDigits = "0123456789abcdef0123456789ABCDEF0123456789abcdef0123456789ABCDEF";

bool is_made_token(const std::string& token) {
  if (token.size() != 64) return false;
  for (const char c : token) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// The argument lists the recorder was started with, oldest first.
std::vector<std::vector<std::string>> icacls_runs() {
  std::vector<std::vector<std::string>> runs(1);
  const std::string log = read_whole_file(kArgsPath).value_or("");
  for (std::size_t begin = 0; begin < log.size();) {
    const std::size_t end = log.find('\n', begin);
    const std::string line = log.substr(begin, end - begin);
    if (line == "--") {
      runs.emplace_back();
    } else {
      runs.back().push_back(line);
    }
    begin = end == std::string::npos ? log.size() : end + 1;
  }
  runs.pop_back();  // what follows the last separator: nothing when every record is whole
  return runs;
}

std::uint64_t last_write_time(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(to_wide(path).c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
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
    create_data_directory();
    DeleteFileW(to_wide(kTokenPath).c_str());
    DeleteFileW(to_wide(kArgsPath).c_str());
  }
  static void write_token_file(const std::string& bytes) {
    ASSERT_TRUE(write_whole_file(kTokenPath, bytes));
  }
};

TEST_F(TokenFile, MissingDirectoryAndFileAreMadeAndRestricted) {
  ASSERT_TRUE(RemoveDirectoryW(to_wide(kDataDirectory).c_str()));
  const std::string token = load_or_create_token();
  EXPECT_TRUE(is_made_token(token)) << token;
  EXPECT_EQ(read_whole_file(kTokenPath), token);  // 64 bytes: no line end, no byte-order mark
  const auto runs = icacls_runs();
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0], kIcaclsArguments);
  // The file made is then the token of every later call.
  EXPECT_EQ(load_or_create_token(), token);
  EXPECT_EQ(icacls_runs().size(), 1u);
}

TEST_F(TokenFile, ValidFilesAreReturnedTrimmedAndLeftAlone) {
  const std::string upper(64, 'E');
  const struct {
    std::string bytes;
    std::string token;
  } cases[] = {{kDigits + "\r\n", kDigits},
               {upper, upper},
               {" \t" + kDigits + kDigits + "\xE3\x80\x80\n", kDigits + kDigits}};
  for (const auto& c : cases) {
    write_token_file(c.bytes);
    back_date(kTokenPath);
    const std::uint64_t written = last_write_time(kTokenPath);
    EXPECT_EQ(load_or_create_token(), c.token);
    EXPECT_EQ(read_whole_file(kTokenPath), c.bytes);
    EXPECT_EQ(last_write_time(kTokenPath), written) << c.token;
  }
  EXPECT_TRUE(icacls_runs().empty());
}

TEST_F(TokenFile, InvalidFilesAreReplacedByANewToken) {
  const std::string bad[] = {kDigits.substr(0, 63),
                             kDigits.substr(0, 32) + " " + kDigits.substr(32),
                             "\xEF\xBB\xBF" + kDigits, kDigits + "\xFF\r\n"};
  std::size_t runs = 0;
  for (const std::string& bytes : bad) {
    write_token_file(bytes);
    const std::string token = load_or_create_token();
    EXPECT_TRUE(is_made_token(token)) << token;
    EXPECT_EQ(read_whole_file(kTokenPath), token);
    const auto recorded = icacls_runs();
    ASSERT_EQ(recorded.size(), ++runs);
    EXPECT_EQ(recorded.back(), kIcaclsArguments);
  }
}

TEST_F(TokenFile, EveryCallReadsTheFileAgain) {
  const std::string first(64, 'a');
  const std::string second(64, 'B');
  write_token_file(first);
  EXPECT_EQ(load_or_create_token(), first);
  write_token_file(second);
  EXPECT_EQ(load_or_create_token(), second);
  ASSERT_TRUE(DeleteFileW(to_wide(kTokenPath).c_str()));
  const std::string made = load_or_create_token();
  EXPECT_TRUE(is_made_token(made));
  EXPECT_NE(made, second);
  EXPECT_EQ(load_or_create_token(), made);
}

TEST_F(TokenFile, UnwritableFileGivesAFreshTokenOnEveryCall) {
  // A directory in the file's place can be neither read nor written as a file.
  ASSERT_TRUE(CreateDirectoryW(to_wide(kTokenPath).c_str(), nullptr));
  const std::string first = load_or_create_token();
  const std::string second = load_or_create_token();
  RemoveDirectoryW(to_wide(kTokenPath).c_str());
  EXPECT_TRUE(is_made_token(first));
  EXPECT_TRUE(is_made_token(second));
  EXPECT_NE(first, second);
  // icacls runs even though the write failed.
  EXPECT_EQ(icacls_runs().size(), 2u);
}

}  // namespace
}  // namespace tolm
