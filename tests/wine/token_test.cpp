// load_or_create_token against the real Wine file system and process creation. icacls.exe next to
// this program is the recorder (icacls_recorder.cpp), so what the tool was asked can be checked.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

#include "base/files.h"
#include "base/handles.h"
#include "base/win_text.h"
#include "security_stand_in.h"
#include "server/access_token_win.h"
#include "status/status_writer.h"

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
  const testing::SecurityStandIns stand_ins;
  ASSERT_TRUE(RemoveDirectoryW(to_wide(kDataDirectory).c_str()));
  const std::string token = load_or_create_token();
  EXPECT_TRUE(is_made_token(token)) << token;
  EXPECT_EQ(read_whole_file(kTokenPath), token);  // 64 bytes: no line end, no byte-order mark
  EXPECT_EQ(load_or_create_token(), token);
  EXPECT_EQ(icacls_log(), kIcaclsRun);
  // The folder and the file are made with their permissions, never with inherited ones.
  EXPECT_EQ(testing::asked_security,
            (std::vector<std::wstring>{
                L"C:\\ProgramData\\Tolm " + std::wstring(kDataFolderSecurity),
                to_wide(kTokenPath) + L" " + kTokenFileSecurity}));

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

// A file someone else made first at a name the helper writes is replaced, not written into: its
// holder still reads what it held.
TEST_F(TokenFile, FilesOfOthersAreReplacedNotWrittenInto) {
  const testing::SecurityStandIns stand_ins;
  const std::pair<std::string, void (*)()> cases[] = {
      {kTokenPath, [] { (void)load_or_create_token(); }},
      {status_file_paths()[1], [] { write_status({"Default", false, 0}); }}};
  for (const auto& [path, write] : cases) {
    ASSERT_TRUE(write_whole_file(path, "theirs"));
    const UniqueFile theirs(
        CreateFileW(to_wide(path).c_str(), GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0, nullptr));
    testing::reported_security[to_wide(path.substr(path.find_last_of('\\')))] = {L"O:S-1-5-9-9"};
    write();
    char held[8] = {};
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(theirs.get(), held, 7, &n, nullptr) && std::string(held) == "theirs");
    EXPECT_NE(read_whole_file(path).value_or("theirs"), "theirs") << path;
  }
}

// Two threads that find the file missing at once: one makes the token, the other uses it.
TEST_F(TokenFile, OneTokenIsMadeAtATime) {
  for (int round = 0; round < 5; ++round) {
    DeleteFileW(to_wide(kTokenPath).c_str());
    std::string tokens[2];
    std::atomic<int> waiting{2};
    const auto ask = [&](int i) {
      for (--waiting; waiting > 0;) {
      }
      tokens[i] = load_or_create_token();
    };
    std::thread other(ask, 1);
    ask(0);
    other.join();
    EXPECT_EQ(tokens[0], tokens[1]);
    EXPECT_EQ(read_whole_file(kTokenPath), tokens[0]);
  }
}

// An icacls that never ends, and a read nobody answers, hold the caller for their bounds only.
TEST_F(TokenFile, IcaclsAndFileReadsAreBounded) {
  ASSERT_TRUE(write_whole_file(data_file("icacls-hangs"), ""));
  ULONGLONG start = GetTickCount64();
  EXPECT_TRUE(is_made_token(load_or_create_token()));
  EXPECT_LT(GetTickCount64() - start, 5000u + 3000u);
  DeleteFileW(to_wide(data_file("icacls-hangs")).c_str());

  const UniqueFile silent(CreateNamedPipeA("\\\\.\\pipe\\silent", PIPE_ACCESS_DUPLEX, 0, 1,
                                           4096, 4096, 0, nullptr));
  start = GetTickCount64();
  EXPECT_FALSE(read_whole_file("\\\\.\\pipe\\silent"));
  EXPECT_LT(GetTickCount64() - start, kFileIoMs + 3000u);
}

}  // namespace
}  // namespace tolm
