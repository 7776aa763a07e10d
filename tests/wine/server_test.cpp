// The real tolm-capture-helper.exe --console, asked by real pipe clients.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "base/files.h"
#include "base/handles.h"
#include "base/win_text.h"
#include "child_process.h"
#include "client/capture_response.h"
#include "client/pipe_client.h"
#include "pattern_check.h"
#include "pattern_window.h"
#include "server/capture_server.h"
#include "server/request.h"
#include "status/status_writer.h"

namespace tolm {
namespace {

using namespace std::string_literals;

const std::string kToken = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

using testing::program_directory;

// The helper as a child process, ended when this goes.
class Helper {
 public:
  explicit Helper(const wchar_t* flag = L"--console",
                  const std::wstring& directory = program_directory()) {
    const std::wstring exe = directory + L"tolm-capture-helper.exe";
    std::wstring command = L"\"" + exe + L"\" " + flag;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    started_ = CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                              nullptr, &si, &process_) != FALSE;
    if (started_) CloseHandle(process_.hThread);
  }
  ~Helper() {
    if (!started_) return;
    TerminateProcess(process_.hProcess, 0);
    WaitForSingleObject(process_.hProcess, 5000);
    CloseHandle(process_.hProcess);
  }
  Helper(const Helper&) = delete;
  Helper& operator=(const Helper&) = delete;
  [[nodiscard]] bool running() const {
    return started_ && WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT;
  }

 private:
  bool started_ = false;
  PROCESS_INFORMATION process_{};
};

std::string ask(const std::string& request) {
  const client::Exchange e = client::exchange(request, 20000);
  EXPECT_EQ(e.error, "") << "request " << request;
  return e.bytes;
}

// Without the client library, which refuses what the server would not read whole.
std::string ask_raw(const std::string& request) {
  const UniqueFile pipe(CreateFileW(L"\\\\.\\pipe\\tolm-capture", GENERIC_READ | GENERIC_WRITE, 0,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_TRUE(pipe);
  DWORD n = 0;
  EXPECT_TRUE(
      WriteFile(pipe.get(), request.data(), static_cast<DWORD>(request.size()), &n, nullptr));
  std::string bytes;
  char buffer[4096];
  while (ReadFile(pipe.get(), buffer, sizeof buffer, &n, nullptr) && n > 0) bytes.append(buffer, n);
  return bytes;
}

std::string auth(const std::string& token = kToken) { return "AUTH " + token + "\n"; }

void write_token(const std::string& token) {
  (void)create_directories(kDataDirectory);
  ASSERT_TRUE(write_whole_file(data_file("capture.auth"), token));
}

// Checks the header against the length and gives the frame back.
Frame frame_of(const std::string& response) {
  const client::Response r = client::read_response(response, true);
  EXPECT_EQ(r.kind, client::Kind::kFrame) << r.problem;
  Frame f;
  f.width = r.frame.width;
  f.height = r.frame.height;
  f.stride = r.frame.stride;
  EXPECT_EQ(f.stride, f.width * 4);
  f.pixels.assign(r.frame.pixels.begin(), r.frame.pixels.end());
  return f;
}

// tolm-capture-client.exe with `arguments`.
testing::ChildRun run_client(const std::wstring& arguments) {
  const std::wstring exe = program_directory() + L"tolm-capture-client.exe";
  return testing::run_child(L"\"" + exe + L"\" " + arguments, program_directory());
}

// The picture as the system's own image loader reads the file, as 32-bit top-down rows.
Frame load_bmp(const std::wstring& path) {
  Frame f;
  const HBITMAP bitmap = static_cast<HBITMAP>(
      LoadImageW(nullptr, path.c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE | LR_CREATEDIBSECTION));
  if (bitmap == nullptr) {
    ADD_FAILURE() << "the system cannot load the image: " << GetLastError();
    return f;
  }
  BITMAP info{};
  GetObjectW(bitmap, sizeof info, &info);
  f.width = static_cast<std::uint32_t>(info.bmWidth);
  f.height = static_cast<std::uint32_t>(info.bmHeight);
  f.stride = f.width * 4;
  f.pixels.resize(std::size_t{f.stride} * f.height);
  BITMAPINFO wanted{};
  wanted.bmiHeader.biSize = sizeof wanted.bmiHeader;
  wanted.bmiHeader.biWidth = info.bmWidth;
  wanted.bmiHeader.biHeight = -info.bmHeight;
  wanted.bmiHeader.biPlanes = 1;
  wanted.bmiHeader.biBitCount = 32;
  const HDC dc = GetDC(nullptr);
  EXPECT_EQ(GetDIBits(dc, bitmap, 0, f.height, f.pixels.data(), &wanted, DIB_RGB_COLORS),
            static_cast<int>(f.height));
  ReleaseDC(nullptr, dc);
  DeleteObject(bitmap);
  return f;
}

class PatternServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    write_token(kToken);
    ASSERT_TRUE(pattern().start());
    helper() = std::make_unique<Helper>();
    ASSERT_TRUE(helper()->running());
  }
  static void TearDownTestSuite() {
    helper().reset();
    pattern().stop();
  }
  static test_pattern::PatternWindow& pattern() {
    static test_pattern::PatternWindow window;
    return window;
  }
  static std::unique_ptr<Helper>& helper() {
    static std::unique_ptr<Helper> h;
    return h;
  }
};

TEST_F(PatternServer, FramesComeWholeWithThePattern) {
  // Every response is read to its last byte: the server waits for that before it disconnects.
  for (const std::string& separator : {"\n"s, "\r\n"s, "\n"s, "\r\n"s, "\n"s}) {
    const Frame f = frame_of(ask("AUTH " + kToken + separator + "FRAME" + separator));
    ASSERT_EQ(f.width, 1920u);
    ASSERT_EQ(f.height, 1080u);
    testing::expect_pattern(f);
  }
  EXPECT_EQ(ask(auth() + "getframe").substr(0, 4), "RFRA");
}

TEST_F(PatternServer, OnlyTheExactKeywordAndTokenAuthorize) {
  EXPECT_EQ(ask("auth " + kToken + "\nframe\n").substr(0, 4), "RFRA");
  EXPECT_EQ(ask("AUTH nope\n" + auth() + "FRAME\n").substr(0, 4), "RFRA");
  EXPECT_EQ(ask(auth() + "FRAME\n\0"s).substr(0, 4), "RFRA");
  std::string upper = kToken;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const std::string& refused : {
           "Auth " + kToken + "\nFRAME\n",
           "AUTH\t" + kToken + "\nFRAME\n",
           "AUTH " + upper + "\nFRAME\n",
           "AUTH " + kToken + " FRAME\n",
           "AUTH " + kToken + "\0\nFRAME\n"s,
           ""s,
       }) {
    EXPECT_EQ(ask(refused), kUnauthorizedResponse) << refused.size() << " bytes";
  }
  EXPECT_EQ(ask_raw(std::string(256, 'x') + "\n" + auth() + "FRAME\n"), kUnauthorizedResponse);
}

TEST_F(PatternServer, StatusIsTheFirstReadableStatusFile) {
  const std::string status = ask(auth());
  EXPECT_EQ(status.rfind(
                R"({"ok":true,"desktop":"Default","secureDesktop":false,"helperFrames":true,)", 0),
            0u)
      << status;
  EXPECT_EQ(status.back(), '\n');

  // A first location that nobody may write to meanwhile keeps what is in it, and that is the
  // answer.
  const std::vector<std::string> paths = status_file_paths();
  ASSERT_TRUE(write_whole_file(paths[0], "planted\n"));
  {
    const UniqueFile held(CreateFileW(to_wide(paths[0]).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    EXPECT_EQ(ask(auth() + "status"), "planted\n");
  }

  // With no location readable: "{}" and a line feed.
  for (const std::string& path : paths) {
    const std::wstring wide = to_wide(path);
    DeleteFileW(wide.c_str());
    ASSERT_TRUE(CreateDirectoryW(wide.c_str(), nullptr)) << path;
  }
  EXPECT_EQ(ask(auth()), "{}\n");
  for (const std::string& path : paths) RemoveDirectoryW(to_wide(path).c_str());
}

TEST_F(PatternServer, TheClientProgramSavesTheFrameAndPrintsTheStatus) {
  const std::wstring image = program_directory() + L"client-frame.bmp";
  DeleteFileW(image.c_str());
  const testing::ChildRun frame = run_client(L"frame --out \"" + image + L"\"");
  EXPECT_EQ(frame.exit_code, 0u) << frame.err;
  EXPECT_EQ(frame.out, "1920x1080 frame saved to " + from_wide(image) + "\r\n");  // text mode
  const Frame saved = load_bmp(image);
  ASSERT_EQ(saved.width, 1920u);
  ASSERT_EQ(saved.height, 1080u);
  testing::expect_pattern(saved);

  const testing::ChildRun status = run_client(L"status");
  EXPECT_EQ(status.exit_code, 0u) << status.err;
  EXPECT_EQ(status.out.rfind(R"({"ok":true,"desktop":"Default",)", 0), 0u) << status.out;
  EXPECT_EQ(status.out.find('\r'), std::string::npos);

  const testing::ChildRun refused =
      run_client(L"frame --out x.bmp --token " + std::wstring(64, L'f'));
  EXPECT_EQ(refused.exit_code, 3u);
  EXPECT_NE(refused.err.find("unauthorized"), std::string::npos) << refused.err;
  EXPECT_EQ(run_client(L"frame").exit_code, 2u);
  EXPECT_EQ(run_client(L"status --timeout 0").exit_code, 2u);
}

TEST_F(PatternServer, AReplacedTokenTakesEffectAtTheNextRequest) {
  const std::string next(64, 'e');
  write_token(next);
  EXPECT_EQ(ask(auth() + "FRAME"), kUnauthorizedResponse);
  EXPECT_EQ(ask(auth(next) + "FRAME").substr(0, 4), "RFRA");
  write_token(kToken);
}

TEST_F(PatternServer, PipeInstancesHaveTheirSizes) {
  const UniqueFile pipe(CreateFileW(L"\\\\.\\pipe\\tolm-capture", GENERIC_READ | GENERIC_WRITE, 0,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(pipe);
  DWORD flags = 0, out_size = 0, in_size = 0, instances = 0;
  ASSERT_TRUE(GetNamedPipeInfo(pipe.get(), &flags, &out_size, &in_size, &instances));
  EXPECT_EQ(flags & PIPE_TYPE_MESSAGE, 0u);
  EXPECT_EQ(instances, 4u);
  // From the client's side the server's output buffer is the input one.
  EXPECT_EQ(std::max(out_size, in_size), 16u * 1024 * 1024);
  EXPECT_EQ(std::min(out_size, in_size), 4096u);
}

TEST_F(PatternServer, FourClientsAtOnceGetWholeFrames) {
  constexpr int kClients = 4;
  constexpr int kEach = 125;
  std::atomic<int> whole{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) {
        const client::Exchange e = client::exchange(auth() + "FRAME\n", 60000);
        const client::Response r = client::read_response(e.bytes, true);
        if (r.kind == client::Kind::kFrame && r.frame.width == 1920 && r.frame.height == 1080 &&
            e.bytes.size() == 20 + 1920u * 1080 * 4) {
          ++whole;
        } else {
          ADD_FAILURE() << e.bytes.size() << " bytes, " << e.error;
        }
      }
    });
  }
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(whole.load(), kClients * kEach);
}

// A client that sends nothing, and one that stops reading, each hold the only instance for a
// bounded time; the next client is served after it.
TEST_F(PatternServer, StuckClientsDelayOthersBySecondsOnly) {
  for (const bool sends_request : {false, true}) {
    const UniqueFile stuck(CreateFileW(L"\\\\.\\pipe\\tolm-capture", GENERIC_READ | GENERIC_WRITE,
                                       0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(stuck);
    if (sends_request) {
      const std::string request = auth() + "FRAME\n";
      DWORD written = 0;
      ASSERT_TRUE(WriteFile(stuck.get(), request.data(), static_cast<DWORD>(request.size()),
                            &written, nullptr));
    }
    const ULONGLONG start = GetTickCount64();
    const client::Exchange next = client::exchange(auth(), 30000);
    const ULONGLONG waited = GetTickCount64() - start;
    EXPECT_EQ(next.error, "");
    EXPECT_EQ(next.bytes.rfind("{\"ok\":true", 0), 0u);
    // Generous: the bound is what matters, not its exact length on a loaded machine.
    EXPECT_LT(waited, (kRequestWaitMs + kResponseDrainMs) * 2ull) << sends_request;
  }
}

// Under an empty screen nothing is ever published: a frame request gets the server's own grab,
// which finds the screen blank too.
TEST(EmptyScreenServer, NoFrameWhenTheOnDemandGrabFailsAndTheTokenIsMadeAtStart) {
  DeleteFileW(to_wide(data_file("capture.auth")).c_str());
  DeleteFileW(to_wide(data_file("icacls-args.txt")).c_str());
  // A copy next to the recording icacls.exe, which it then finds first.
  const std::wstring beside_recorder = program_directory() + L"token-tests\\";
  ASSERT_TRUE(CopyFileW((program_directory() + L"tolm-capture-helper.exe").c_str(),
                        (beside_recorder + L"tolm-capture-helper.exe").c_str(), FALSE));
  const Helper helper(L"x --console y", beside_recorder);
  ASSERT_TRUE(helper.running());
  const std::string status = ask("no token\n");  // answered once start-up is done
  EXPECT_EQ(status, kUnauthorizedResponse);
  const std::optional<std::string> token = read_whole_file(data_file("capture.auth"));
  ASSERT_TRUE(token);
  EXPECT_EQ(token->size(), 64u);
  EXPECT_EQ(token->find_first_not_of("0123456789abcdef"), std::string::npos) << *token;
  EXPECT_EQ(read_whole_file(data_file("icacls-args.txt")),
            "C:\\ProgramData\\Tolm\\capture.auth\n/inheritance:r\n/grant:r\nSYSTEM:F\n"
            "Administrators:F\nUsers:R\n--\n");

  EXPECT_EQ(ask(auth(*token) + "FRAME\n"), kNoFrameResponse);
  const std::string doc = ask(auth(*token));
  EXPECT_NE(doc.find(R"("helperFrames":false,)"), std::string::npos) << doc;
  EXPECT_NE(doc.find(R"("backend":"none","seq":0,)"), std::string::npos) << doc;
  const testing::ChildRun no_frame = run_client(L"frame --out x.bmp");
  EXPECT_EQ(no_frame.exit_code, 4u);
  EXPECT_NE(no_frame.err.find("no frame"), std::string::npos) << no_frame.err;
}

// No helper runs here: the client says so, and a response cut short is not taken for a frame.
TEST(ClientWithoutServer, NoServerAndATruncatedFrameAreToldApart) {
  const testing::ChildRun none = run_client(L"status --token " + to_wide(kToken));
  EXPECT_EQ(none.exit_code, 5u) << none.err;

  // A stand-in server that promises a 2x2 frame and sends half of it.
  const UniqueFile pipe(CreateNamedPipeA("\\\\.\\pipe\\tolm-capture", PIPE_ACCESS_DUPLEX,
                                         PIPE_TYPE_BYTE | PIPE_WAIT, 1, 65536, 4096, 0, nullptr));
  ASSERT_TRUE(pipe);
  std::thread server([&] {
    if (!ConnectNamedPipe(pipe.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return;
    char request[512];
    DWORD n = 0;
    (void)ReadFile(pipe.get(), request, sizeof request, &n, nullptr);
    const std::uint32_t header[] = {2, 2, 8, 16};
    std::string response = "RFRA";
    response.append(reinterpret_cast<const char*>(header), sizeof header);
    response.append(8, '\x7f');
    (void)WriteFile(pipe.get(), response.data(), static_cast<DWORD>(response.size()), &n, nullptr);
    FlushFileBuffers(pipe.get());
    DisconnectNamedPipe(pipe.get());
  });
  const testing::ChildRun cut = run_client(L"frame --out cut.bmp --token " + to_wide(kToken));
  server.join();
  EXPECT_EQ(cut.exit_code, 6u);
  EXPECT_NE(cut.err.find("frame cut short: 8 of 16 pixel bytes"), std::string::npos) << cut.err;
  EXPECT_EQ(GetFileAttributesW((program_directory() + L"cut.bmp").c_str()),
            INVALID_FILE_ATTRIBUTES);
}

}  // namespace
}  // namespace tolm
