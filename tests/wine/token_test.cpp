// load_or_create_token against the real Wine file system; owners and permissions, which Wine does
// not keep, through the security stand-ins.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

#include "base/data_directory.h"
#include "base/handles.h"
#include "base/win_text.h"
#include "security_stand_in.h"
#include "server/access_token_win.h"
#include "status/status_writer.h"

namespace tolm {
namespace {

const std::string kTokenPath = data_file("capture.auth");
const std::string kDigits = "0123456789abcdef0123456789ABCDEF0123456789abcdef0123456789ABCDEF";
const std::wstring kProtected = to_wide(kTokenPath) + L" " + kTokenFileSecurity;

bool is_made_token(const std::string& token) {
  return token.size() == 64 && token.find_first_not_of("0123456789abcdef") == std::string::npos;
}

class TokenFile : public ::testing::Test {
 protected:
  void SetUp() override {
    (void)create_directories(kDataDirectory);
    DeleteFileW(to_wide(kTokenPath).c_str());
  }
};

// Which files hold a token is the host tests' part; here, what is done with the file.
TEST_F(TokenFile, AMissingOrInvalidFileIsReplacedAValidOneIsLeftAlone) {
  const testing::SecurityStandIns stand_ins;
  ASSERT_TRUE(RemoveDirectoryW(to_wide(kDataDirectory).c_str()));
  const std::string token = load_or_create_token();
  EXPECT_TRUE(is_made_token(token)) << token;
  EXPECT_EQ(read_whole_file(kTokenPath), token);  // 64 bytes: no line end, no byte-order mark
  EXPECT_EQ(load_or_create_token(), token);
  // The folder and the file are made with their permissions, never with inherited ones.
  EXPECT_EQ(testing::asked_security,
            (std::vector<std::wstring>{
                L"C:\\ProgramData\\Tolm " + std::wstring(kDataFolderSecurity), kProtected}));

  ASSERT_TRUE(write_whole_file(kTokenPath, kDigits.substr(0, 63)));
  const std::string made = load_or_create_token();
  EXPECT_TRUE(is_made_token(made) && made != token) << made;
  EXPECT_EQ(read_whole_file(kTokenPath), made);

  ASSERT_TRUE(write_whole_file(kTokenPath, " " + kDigits + "\r\n"));
  EXPECT_EQ(load_or_create_token(), kDigits);
  EXPECT_EQ(read_whole_file(kTokenPath), " " + kDigits + "\r\n");

  // When no new file can be stored, the token last known stays in use.
  DeleteFileW(to_wide(kTokenPath).c_str());
  security_calls().create_file = [](LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                    HANDLE) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  };
  EXPECT_EQ(load_or_create_token(), kDigits);
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
    // Asked when it is read, and when it is opened to be written.
    const std::wstring name = to_wide(path.substr(path.find_last_of('\\')));
    testing::reported_security[name] = {L"O:S-1-5-9-9", 2};
    write();
    char held[8] = {};
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(theirs.get(), held, 7, &n, nullptr) && std::string(held) == "theirs");
    EXPECT_NE(read_whole_file(path).value_or("theirs"), "theirs") << path;
  }
}

// A token file an earlier version let Users read, held open with no sharing by one of them: its
// permissions are replaced all the same, so that on Windows nobody but the helper's accounts can
// open it again; what it holds stays the token.
TEST_F(TokenFile, AnOlderFileThatUsersMayReadIsTakenFromThemThroughItsHandle) {
  const testing::SecurityStandIns stand_ins;
  ASSERT_TRUE(write_whole_file(kTokenPath, kDigits));
  const UniqueFile held(CreateFileW(to_wide(kTokenPath).c_str(), GENERIC_READ, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held);
  // Asked for its owner, then for its access list.
  testing::reported_security[L"\\capture.auth"] = {L"O:SY" + std::wstring(kTokenFileSecurity) +
                                                    L"(A;;FR;;;BU)", 2};
  protect_token_file();
  EXPECT_EQ(testing::asked_security, std::vector<std::wstring>{kProtected});
  testing::reported_security[L"\\capture.auth"] = {L"O:SY" + std::wstring(kTokenFileSecurity), 2};
  protect_token_file();  // as Windows now keeps it: nothing more to do
  EXPECT_EQ(testing::asked_security.size(), 1u);
}

// Two makers that find the file missing at once: threads of this process take turns, and one of
// another process that gets there first (its file appears between the look and the write here)
// has its token kept and served.
TEST_F(TokenFile, OneTokenIsMadeAndServedByEveryMaker) {
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
  DeleteFileW(to_wide(kTokenPath).c_str());
  security_calls().create_file = [](LPCWSTR path, DWORD access, DWORD share,
                                    LPSECURITY_ATTRIBUTES sa, DWORD disposition, DWORD flags,
                                    HANDLE model) {
    security_calls() = {};
    (void)write_whole_file(kTokenPath, kDigits);  // the other process's, made a moment earlier
    return CreateFileW(path, access, share, sa, disposition, flags, model);
  };
  EXPECT_EQ(load_or_create_token(), kDigits);
  EXPECT_EQ(read_whole_file(kTokenPath), kDigits);
  security_calls() = {};
}

// A read nobody answers holds the caller for its bound only.
TEST_F(TokenFile, FileReadsAreBounded) {
  const UniqueFile silent(CreateNamedPipeA("\\\\.\\pipe\\silent", PIPE_ACCESS_DUPLEX, 0, 1,
                                           4096, 4096, 0, nullptr));
  const ULONGLONG start = GetTickCount64();
  EXPECT_FALSE(read_whole_file("\\\\.\\pipe\\silent"));
  EXPECT_LT(GetTickCount64() - start, kFileIoMs + 3000u);
}

}  // namespace
}  // namespace tolm
