// The real tolm-capture-helper.exe --console, asked by real pipe clients.
#include <gtest/gtest.h>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <filesystem>
#include <thread>

#include "base/clock_win.h"
#include "base/data_directory.h"
#include "base/handles.h"
#include "base/security_win.h"
#include "base/win_text.h"
#include "child_process.h"
#include "client/check_win.h"
#include "protocol/answer.h"
#include "client/bmp.h"
#include "client/pipe_client.h"
#include "pattern_check.h"
#include "pattern_window.h"
#include "server/access_token.h"
#include "server/capture_server.h"
#include "protocol/request.h"
#include "protocol/status_document.h"
#include "status/status_writer.h"

namespace tolm {
namespace {

using namespace std::string_literals;

const std::string kToken = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

using testing::program_directory;

std::wstring helper_command(const wchar_t* flag = L"--console") {
  return L"\"" + program_directory() + L"tolm-capture-helper.exe\" " + flag;
}

std::string ask(const std::string& request) {
  const client::Exchange e = client::exchange(request, 20000);
  EXPECT_EQ(e.error, "") << "request " << request;
  return e.bytes;
}

// The pipe opened without the client library, waiting while the server is between instances.
UniqueFile open_pipe(DWORD access = GENERIC_READ | GENERIC_WRITE) {
  // WaitNamedPipeW returns at once while no instance exists at all, so the bound is a deadline.
  for (const ULONGLONG end = GetTickCount64() + 20000; GetTickCount64() < end;) {
    UniqueFile pipe(CreateFileW(L"\\\\.\\pipe\\tolm-capture", access, 0, nullptr, OPEN_EXISTING,
                                0, nullptr));
    if (pipe) return pipe;
    if (!WaitNamedPipeW(L"\\\\.\\pipe\\tolm-capture", 100)) Sleep(10);
  }
  ADD_FAILURE() << "no free instance of the capture pipe";
  return {};
}

// Without the client library, which refuses what the server would not read whole.
std::string ask_raw(const std::string& request) {
  const UniqueFile pipe = open_pipe();
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

// tolm-capture-client.exe with `arguments`.
testing::ChildRun run_client(const std::wstring& arguments) {
  const std::wstring exe = program_directory() + L"tolm-capture-client.exe";
  return testing::run_child(L"\"" + exe + L"\" " + arguments);
}

class PatternServer : public testing::HelperOnPattern {
 protected:
  static void SetUpTestSuite() {
    write_token(kToken);
    start(helper_command());
  }
};

// What only a raw pipe can send; the rules of a request's text are the host tests'.
TEST_F(PatternServer, ARequestIsOneReadOfAtMost256Bytes) {
  EXPECT_EQ(ask_raw(std::string(256, 'x') + "\n" + auth() + "FRAME\n"), kUnauthorizedResponse);
  EXPECT_EQ(ask_raw(auth() + "FRAME\n\0"s).substr(0, 4), "RFRA");
  { const UniqueFile gone = open_pipe(); }  // a client that closes without writing
  EXPECT_EQ(ask(auth() + "FRAME").substr(0, 4), "RFRA");
}

// A status answer is a file this very request wrote: one that someone holds, or made first and
// keeps the helper out of, is never an answer, whatever it says.
TEST_F(PatternServer, StatusIsAFileTheRequestWrote) {
  const std::string status = ask(auth());
  EXPECT_EQ(status.rfind(
                R"({"ok":true,"desktop":"Default","secureDesktop":false,"helperFrames":true,)", 0),
            0u)
      << status;
  EXPECT_EQ(status.back(), '\n');

  const std::vector<std::string> paths = status_file_paths();
  UniqueFile held[2];
  ASSERT_TRUE(testing::poll([&] {  // not while the helper has the file open
    held[0] = UniqueFile(CreateFileW(to_wide(paths[0]).c_str(), GENERIC_READ, 0, nullptr,
                                     OPEN_EXISTING, 0, nullptr));
    return held[0].valid();
  }, 5000));
  ASSERT_TRUE(testing::plant(paths[1], [&](const wchar_t* at) {
    held[1] = UniqueFile(CreateFileW(at, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                     CREATE_NEW, 0, nullptr));
    return held[1].valid();
  }));
  ASSERT_TRUE(write_in_pieces(held[1].get(), "planted\n", 64));
  for (int i = 0; i < 5; ++i) {
    const std::string answer = ask(auth() + "status");
    EXPECT_TRUE(answer.starts_with(R"({"ok":true,"desktop":"Default",)")) << answer;
    EXPECT_EQ(answer, read_whole_file(paths[2]));
  }
  held[0].reset();
  held[1].reset();

  // With no location writable: "{}" and a line feed. The directories go whatever happens: the
  // next tests write at these names.
  bool planted = true;
  const auto directory = [](const wchar_t* at) { return CreateDirectoryW(at, nullptr) != FALSE; };
  for (const std::string& path : paths) planted = testing::plant(path, directory) && planted;
  if (planted) EXPECT_EQ(ask(auth()), "{}\n");
  for (const std::string& path : paths) RemoveDirectoryW(to_wide(path).c_str());
  EXPECT_TRUE(planted);
}

TEST_F(PatternServer, TheClientProgramSavesTheFrameAndPrintsTheStatus) {
  const std::wstring image = program_directory() + L"client-frame.bmp";
  const std::wstring victim = program_directory() + L"victim.bmp";
  ASSERT_TRUE(write_whole_file(from_wide(victim), "victim"));
  ASSERT_TRUE(testing::plant_hard_link(from_wide(image), from_wide(victim)));
  const testing::ChildRun frame = run_client(L"frame --out \"" + image + L"\"");
  EXPECT_EQ(frame.exit_code, 0u) << frame.err;
  EXPECT_EQ(frame.out, "1920x1080 frame saved to " + from_wide(image) + "\r\n");  // text mode
  // The file is the frame as a BMP (the host tests check that encoding); the pattern never moves.
  const std::string asked = ask(auth() + "FRAME");
  const Answer response = read_answer(asked, true);
  ASSERT_EQ(response.kind, AnswerKind::kFrame) << response.problem;
  testing::expect_pattern(response.frame);
  EXPECT_TRUE(read_whole_file(from_wide(image), 64 << 20) == client::encode_bmp(response.frame));
  EXPECT_EQ(read_whole_file(from_wide(victim)), "victim");

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

// Hard links to victim files planted, while the helper runs, at names it rewrites: every pass, on a
// status request. Each name becomes a file of its own; the victims keep their bytes.
TEST_F(PatternServer, LinksPlantedAtItsFileNamesAreReplacedNotWrittenThrough) {
  const std::vector<std::string> paths = status_file_paths();
  const std::string planted[] = {data_file("capture.desktop"), paths[0], paths[1]};
  for (int i = 0; i < 3; ++i) {
    const std::string victim = "C:\\victim-" + std::to_string(i);
    ASSERT_TRUE(write_whole_file(victim, "victim"));
    ASSERT_TRUE(testing::plant_hard_link(planted[i], victim));
  }
  EXPECT_EQ(ask(auth()).rfind("{\"ok\":true", 0), 0u);
  (void)testing::poll([&] { return testing::link_count(planted[0]) == 1; }, 5000);
  EXPECT_EQ(read_whole_file(planted[0]), "Default");
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(testing::link_count(planted[i]), 1u) << planted[i];
    EXPECT_EQ(read_whole_file("C:\\victim-" + std::to_string(i)), "victim") << planted[i];
  }
  EXPECT_EQ(read_whole_file(paths[1]).value_or("").rfind("{\"ok\":true", 0), 0u);
}

// An administrator deletes the data directory while the helper runs; nobody asks anything. The
// token comes back on its own, and a client that reads it is served.
TEST_F(PatternServer, ADeletedDataDirectoryGetsItsTokenBackWithoutARequest) {
  std::error_code failed;
  for (int i = 0; i < 200; ++i) {  // the helper keeps writing files into it
    if (std::filesystem::remove_all(kDataDirectory, failed); !failed) break;
  }
  ASSERT_FALSE(failed) << failed.message();
  std::optional<std::string> token;
  for (int i = 0; i < 400 && !token; ++i, Sleep(25)) {
    const std::optional<std::string> bytes = read_whole_file(data_file("capture.auth"));
    if (bytes) token = accept_token_file(*bytes);
  }
  ASSERT_TRUE(token) << "no token 10 s after the folder went";
  EXPECT_EQ(ask(auth(*token) + "FRAME\n").size(), 20 + 1920u * 1080 * 4);
  write_token(kToken);
}

// Another process holds the token file open with no sharing: nobody who knows the token is shut
// out, and the file is left as it was.
TEST_F(PatternServer, ATokenFileHeldByAnotherProcessShutsNobodyOut) {
  ASSERT_EQ(ask(auth() + "FRAME").substr(0, 4), "RFRA");  // the helper has read this token
  {
    const UniqueFile held(CreateFileW(to_wide(data_file("capture.auth")).c_str(), GENERIC_READ, 0,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    for (int i = 0; i < 12; ++i, Sleep(250)) EXPECT_EQ(ask(auth() + "FRAME").substr(0, 4), "RFRA");
  }
  EXPECT_EQ(read_whole_file(data_file("capture.auth")), kToken);
}

// Between two clients the name is never without an instance that someone else could take.
TEST_F(PatternServer, TheNameAlwaysHasAnInstanceWhileClientsAreServed) {
  std::atomic<bool> done{false};
  int gone = 0;
  std::thread watcher([&] {
    for (; !done; Sleep(0)) {
      if (!WaitNamedPipeW(L"\\\\.\\pipe\\tolm-capture", 1) &&
          GetLastError() == ERROR_FILE_NOT_FOUND) {
        ++gone;
      }
    }
  });
  for (int i = 0; i < 300; ++i) (void)ask(i % 30 == 0 ? auth() + "FRAME" : auth());
  done = true;
  watcher.join();
  EXPECT_EQ(gone, 0);
}

// What a person reads and what a monitor parses say the same: every part is well.
TEST_F(PatternServer, TheCheckFindsAConsoleHelperHealthy) {
  const testing::ChildRun text = run_client(L"check --seconds 1");
  const testing::ChildRun json = run_client(L"check --json --seconds 1");
  EXPECT_EQ(text.exit_code, 0u) << text.out;
  EXPECT_EQ(json.exit_code, 0u) << json.out;
  const nlohmann::json report = nlohmann::json::parse(json.out);
  EXPECT_EQ(report["healthy"], true);
  std::string lines;
  for (const nlohmann::json& finding : report["findings"]) {
    EXPECT_EQ(finding["ok"], true) << finding;
    const std::string topic = finding["topic"];
    lines += "ok       " + topic + std::string(9 - topic.size(), ' ');
    lines += text.out.substr(lines.size(), text.out.find('\n', lines.size()) + 1 - lines.size());
  }
  EXPECT_EQ(text.out, lines + "healthy\r\n");
  EXPECT_NE(text.out.find("frames   "), std::string::npos);
}

TEST_F(PatternServer, AReplacedTokenTakesEffectAtTheNextRequest) {
  const std::string next(64, 'e');
  write_token(next);
  EXPECT_EQ(ask(auth() + "FRAME"), kUnauthorizedResponse);
  EXPECT_EQ(ask(auth(next) + "FRAME").substr(0, 4), "RFRA");
  write_token(kToken);
}

TEST_F(PatternServer, ARequestedSizeTakesEffectWhileItRuns) {
  const auto pixel_bytes = [] { return ask(auth() + "FRAME").size() - kFrameHeaderBytes; };
  ASSERT_TRUE(write_whole_file(data_file("capture.target"), "1280x720"));
  EXPECT_TRUE(testing::poll([&] { return pixel_bytes() == 1280 * 720 * 4; }, 10000));
  DeleteFileW(to_wide(data_file("capture.target")).c_str());
  EXPECT_TRUE(testing::poll([&] { return pixel_bytes() == 1920 * 1080 * 4; }, 10000));
}

TEST_F(PatternServer, PipeInstancesBelongToTheHelpersAccountAndHaveTheirSizes) {
  const UniqueFile pipe = open_pipe();
  ASSERT_TRUE(pipe);
  DWORD flags = 0, out_size = 0, in_size = 0, instances = 0;
  ASSERT_TRUE(GetNamedPipeInfo(pipe.get(), &flags, &out_size, &in_size, &instances));
  EXPECT_EQ(flags & PIPE_TYPE_MESSAGE, 0u);
  EXPECT_EQ(instances, 4u);
  // From the client's side the server's output buffer is the input one.
  EXPECT_EQ(std::max(out_size, in_size), 16u * 1024 * 1024);
  EXPECT_EQ(std::min(out_size, in_size), 4096u);

  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(GetSecurityInfo(pipe.get(), SE_KERNEL_OBJECT,
                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, nullptr, nullptr, &descriptor),
            ERROR_SUCCESS);
  LPWSTR sddl = nullptr;
  ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(
      descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &sddl,
      nullptr));
  // Wine runs every process elevated: the pipe is the Administrators', whom an elevated client
  // trusts, and its user may open it too.
  const std::string me = own_account_sid();
  EXPECT_EQ(from_wide(sddl), "O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;" + me + ")");
  LocalFree(sddl);
  LocalFree(descriptor);
  // Wine neither rejects remote clients nor reports the flag or the default wait: the helper's
  // instances are made from these.
  EXPECT_EQ(capture_pipe_settings("BA", me).pipe_mode,
            DWORD{PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS});
  EXPECT_EQ(capture_pipe_settings("BA", me).default_timeout_ms, 500u);
}

// A connection that cannot be a client holds the only instance for the short bounds, one that asked
// for a frame and stops reading for the long one; the frame client behind it is served whole.
TEST_F(PatternServer, StuckAndReadOnlyClientsDelayOthersByTheirBoundsOnly) {
  const auto delay_behind = [](DWORD access, bool sends_request) -> ULONGLONG {
    const UniqueFile stuck = open_pipe(access);
    if (sends_request) {
      const std::string request = auth() + "FRAME\n";
      DWORD written = 0;
      EXPECT_TRUE(WriteFile(stuck.get(), request.data(), static_cast<DWORD>(request.size()),
                            &written, nullptr));
    }
    const ULONGLONG start = GetTickCount64();
    const client::Exchange next = client::exchange(auth() + "FRAME\n", 30000);
    const ULONGLONG waited = GetTickCount64() - start;
    EXPECT_EQ(next.error, "");
    EXPECT_EQ(next.bytes.size(), 20 + 1920u * 1080 * 4);
    return waited;
  };
  // The documented bounds (1 s for a request, 200 ms to drain a refusal, 5 s to drain an answer),
  // with generous margins: the bound is what matters, not its exact length on a loaded machine.
  constexpr ULONGLONG kMargin = 1000;
  const ULONGLONG silent = delay_behind(GENERIC_READ | GENERIC_WRITE, false);
  EXPECT_LT(silent, 1000 + 200 + kMargin);
  const ULONGLONG not_reading = delay_behind(GENERIC_READ | GENERIC_WRITE, true);
  EXPECT_LT(not_reading, 5000 + kMargin);
  ULONGLONG worst_read_only = 0;
  for (int i = 0; i < 8; ++i) {
    worst_read_only = std::max(worst_read_only, delay_behind(GENERIC_READ, false));
  }
  EXPECT_LT(worst_read_only, 1000 + 200 + kMargin);
  std::printf("frame client delayed %llu ms behind a silent client, %llu ms behind one that stops "
              "reading, at most %llu ms behind each of 8 read-only opens\n",
              silent, not_reading, worst_read_only);
}

// Under an empty screen nothing is ever published: a frame request gets the server's own grab,
// which finds the screen blank too.
TEST(EmptyScreenServer, NoFrameWhenTheOnDemandGrabFailsAndTheTokenIsMadeAtStart) {
  // Hard links to victim files planted at the names the helper writes: an invalid token file, and
  // the record of a pass without a picture, which every pass on this screen writes.
  const std::string victims[] = {"C:\\victim-auth", "C:\\victim-error"};
  const std::string planted[] = {data_file("capture.auth"), data_file("capture.last-error.txt")};
  (void)create_directories(kDataDirectory);
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(write_whole_file(victims[i], "victim"));
    ASSERT_TRUE(testing::plant_hard_link(planted[i], victims[i]));
  }
  // A desktop whose name holds a line break, enumerated last: its failure is the pass's last.
  const UniqueDesktop evil(
      CreateDesktopW(L"Evil\nDesk", nullptr, nullptr, 0, GENERIC_ALL, nullptr));
  const testing::RunningChild helper(helper_command(L"x --console y"));
  ASSERT_TRUE(helper.running());
  const std::string status = ask("no token\n");  // answered once start-up is done
  EXPECT_EQ(status, kUnauthorizedResponse);
  const std::optional<std::string> token = read_whole_file(data_file("capture.auth"));
  ASSERT_TRUE(token);
  EXPECT_EQ(token->size(), 64u);
  EXPECT_EQ(token->find_first_not_of("0123456789abcdef"), std::string::npos) << *token;

  EXPECT_EQ(ask(auth(*token) + "FRAME\n"), kNoFrameResponse);
  const std::string doc = ask(auth(*token));
  EXPECT_NE(doc.find(R"("helperFrames":false,)"), std::string::npos) << doc;
  EXPECT_NE(doc.find(R"("backend":"none","seq":0,)"), std::string::npos) << doc;
  const testing::ChildRun no_frame = run_client(L"frame --out x.bmp");
  EXPECT_EQ(no_frame.exit_code, 4u);
  EXPECT_NE(no_frame.err.find("no frame"), std::string::npos) << no_frame.err;

  (void)testing::poll([&] { return testing::link_count(planted[1]) == 1; }, 5000);
  EXPECT_EQ(read_whole_file(planted[1]), "EvilDesk:blank frame\n");
  EXPECT_EQ(testing::link_count(planted[0]), 1u);
  for (const std::string& victim : victims) {
    EXPECT_EQ(read_whole_file(victim), "victim");
    EXPECT_EQ(testing::link_count(victim), 1u);
  }
}

// Someone else's server on the capture pipe: it records what each of `connections` clients sent and
// answers each with `response`, `delay_ms` after it has read. `sddl` null: no descriptor at all.
class StandIn {
 public:
  StandIn(const wchar_t* sddl, std::string response, int connections, DWORD delay_ms = 0)
      : thread_([=, this] { serve(sddl, response, connections, delay_ms); }) {}
  ~StandIn() { received(); }
  StandIn(const StandIn&) = delete;
  StandIn& operator=(const StandIn&) = delete;

  // What the clients sent, once all of them have been served.
  std::string received() {
    if (thread_.joinable()) thread_.join();
    return received_;
  }

 private:
  void serve(const wchar_t* sddl, const std::string& response, int connections, DWORD delay_ms) {
    for (int i = 0; i < connections; ++i) {
      UniqueFile pipe;
      if (sddl == nullptr) {
        pipe = UniqueFile(CreateNamedPipeA("\\\\.\\pipe\\tolm-capture", PIPE_ACCESS_DUPLEX,
                                           PIPE_TYPE_BYTE | PIPE_WAIT, 1, 65536, 4096, 0, nullptr));
      } else {
        PipeSettings settings = capture_pipe_settings("");
        settings.security = sddl;
        pipe = create_pipe_instance("\\\\.\\pipe\\tolm-capture", settings);
      }
      ASSERT_TRUE(pipe);
      // A client that came and went before the call (as one that refuses the owner does) is done.
      if (!ConnectNamedPipe(pipe.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
        continue;
      }
      char request[512];
      DWORD n = 0;
      if (ReadFile(pipe.get(), request, sizeof request, &n, nullptr)) received_.append(request, n);
      Sleep(delay_ms);
      (void)write_in_pieces(pipe.get(), response, 65536);
      FlushFileBuffers(pipe.get());
      DisconnectNamedPipe(pipe.get());
    }
  }

  std::string received_;
  std::thread thread_;
};

std::string frame_response(std::uint32_t width, std::uint32_t height, std::size_t pixel_bytes) {
  const std::uint32_t header[] = {width, height, width * 4, width * height * 4};
  std::string response = "RFRA";
  response.append(reinterpret_cast<const char*>(header), sizeof header);
  response.append(pixel_bytes, '\x7f');
  return response;
}

DWORD open_flags = 0;  // what the client last asked CreateFileA for
HANDLE WINAPI recording_open(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                             DWORD disposition, DWORD flags, HANDLE model) {
  open_flags = flags;
  return CreateFileA(name, access, share, security, disposition, flags, model);
}

// No helper runs here: the client says so, sends nothing to a server of an untrusted owner, and
// takes neither a response cut short nor one too long for a frame.
TEST(ClientWithoutServer, NoServerUntrustedServersAndBadResponsesAreToldApart) {
  const std::wstring token_argument = L" --token " + to_wide(kToken);
  const testing::ChildRun none = run_client(L"status" + token_argument);
  EXPECT_EQ(none.exit_code, 5u) << none.err;
  DeleteFileW(to_wide(data_file("capture.auth")).c_str());
  EXPECT_EQ(run_client(L"status").exit_code, 7u);  // no token to send
  // No helper, and a status file that nobody writes any more.
  (void)create_directories(kDataDirectory);
  ASSERT_TRUE(write_whole_file(status_file_paths()[0], format_worker_status("Default", 1, 5, 1)));
  const testing::ChildRun check = run_client(L"check --seconds 1");
  EXPECT_EQ(check.exit_code, 9u);
  EXPECT_NE(check.out.find("PROBLEM  pipe     \\\\.\\pipe\\tolm-capture: no helper serves it"),
            std::string::npos) << check.out;
  EXPECT_NE(check.out.find("PROBLEM  status   C:\\ProgramData"), std::string::npos) << check.out;
  // A document from the future, whose desktop would retitle the administrator's console.
  ASSERT_TRUE(write_whole_file(
      status_file_paths()[0],
      "{\"ok\":true,\"desktop\":\"\x1b]0;owned\x07\",\"secureDesktop\":true,\"helperFrames\":true,"
      "\"driverLoaded\":false,\"driverCapture\":false,\"backend\":\"bitblt\",\"seq\":5,\"ts\":" +
          std::to_string(now_unix_ms() + 3600000) + "}\n"));
  const testing::ChildRun future = run_client(L"check --seconds 1");
  EXPECT_EQ(future.exit_code, 9u);
  EXPECT_NE(future.out.find("desktop \"]0;owned\""), std::string::npos) << future.out;
  EXPECT_NE(future.out.find("; written in the future\r\n"), std::string::npos) << future.out;
  EXPECT_EQ(future.out.find_first_of("\x1b\x07"), std::string::npos);
  EXPECT_EQ(run_client(L"check --seconds 61").exit_code, 2u);
  EXPECT_EQ(client::exchange(std::string(257, 'x'), 1000).failure, client::Failure::kIo);

  // Wine runs this client elevated: its own account, which a process without elevation could be,
  // is no more trusted to serve than a stranger.
  const std::string me = own_account_sid();
  const struct {
    std::wstring sddl;
    std::string owner;
  } impostors[] = {{L"", "none"},
                   {L"O:S-1-5-21-1-2-3-1001D:(A;;GA;;;WD)", "S-1-5-21-1-2-3-1001"},
                   {L"O:" + to_wide(me) + L"D:(A;;GA;;;WD)", me}};
  for (const auto& impostor : impostors) {
    StandIn server(impostor.sddl.empty() ? nullptr : impostor.sddl.c_str(),
                   std::string(kUnauthorizedResponse), 3);
    const std::string refusal = "pipe served by an untrusted owner: " + impostor.owner;
    const client::Exchange e = client::exchange(auth() + "FRAME\n", 10000);
    EXPECT_EQ(e.failure, client::Failure::kUntrustedServer);
    EXPECT_EQ(e.error, refusal);
    const testing::ChildRun cli = run_client(L"status" + token_argument);
    EXPECT_EQ(cli.exit_code, 8u);
    EXPECT_NE(cli.err.find(refusal), std::string::npos) << cli.err;
    const testing::ChildRun check = run_client(L"check --seconds 1" + token_argument);
    EXPECT_EQ(check.exit_code, 9u);
    EXPECT_NE(check.out.find(": not SYSTEM, Administrators or this account\r\n"), std::string::npos)
        << check.out;
    EXPECT_EQ(server.received(), "");
  }

  const std::wstring own = L"O:BAD:(A;;GA;;;WD)";
  {  // What this account may not see is said so, and is no fault of the helper.
    StandIn server(own.c_str(), std::string(kUnauthorizedResponse), 1);
    const check::CheckCalls hidden{[] { return check::ServiceFacts{check::Seen::kNotVisible}; },
                                   [](std::uint32_t) { return std::optional<std::string>(); }};
    const std::vector<check::Finding> found = check::judge(check::observe({1, kToken}, hidden));
    EXPECT_EQ(found[0].detail, "TolmCaptureHelper: not visible to this account");
    EXPECT_TRUE(found[0].ok && found[1].detail.ends_with(", image not visible to this account"))
        << found[1].detail;
  }
  {
    StandIn slow(own.c_str(), std::string(kUnauthorizedResponse), 1, 3000);
    const client::Exchange e = client::exchange(auth(), 500, kPipeName, &recording_open);
    EXPECT_EQ(e.failure, client::Failure::kTimeout) << e.error;
    // A server may identify the client, never act as it.
    EXPECT_EQ(open_flags, DWORD{SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION});
  }
  const struct {
    std::string response;
    const char* error;
  } bad[] = {{frame_response(2, 2, 8), "frame cut short: 8 of 16 pixel bytes"},
             {frame_response(2560, 1440, 2560 * 1440 * 4 + 1), "response too long"}};
  for (const auto& b : bad) {
    StandIn server(own.c_str(), b.response, 1);
    const testing::ChildRun cut = run_client(L"frame --out cut.bmp" + token_argument);
    EXPECT_EQ(server.received(), auth() + "FRAME\n");
    EXPECT_EQ(cut.exit_code, 6u);
    EXPECT_NE(cut.err.find(b.error), std::string::npos) << cut.err;
    EXPECT_EQ(GetFileAttributesW((program_directory() + L"cut.bmp").c_str()),
              INVALID_FILE_ATTRIBUTES);
  }
}

// Someone creates the pipe's name before the helper starts, with themselves as owner, and holds it:
// every instance the helper makes has their owner, so it serves none, and says why. Once the name
// is free, the helper makes it its own and serves.
TEST(SquattedName, NothingIsServedThroughANameAnotherOwnerMadeAndFramesComeOnceItIsFree) {
  write_token(kToken);
  test_pattern::PatternWindow window;
  ASSERT_TRUE(window.start());
  PipeSettings settings = capture_pipe_settings("");
  settings.security = L"O:WDD:(A;;GA;;;WD)";
  UniqueFile squatted = create_pipe_instance(kPipeName, settings);
  ASSERT_TRUE(squatted);
  // Their own instance is kept busy, so that every connection below can only reach the helper's.
  UniqueFile busy(CreateFileA(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                              nullptr));
  ASSERT_TRUE(busy);
  const testing::RunningChild helper(helper_command());
  EXPECT_TRUE(testing::poll([] {
    return read_whole_file(status_file_paths()[0]).value_or("").find(
               R"("note":"pipe name held by another owner")") != std::string::npos;
  }, 30000));
  int frames = 0;
  for (int i = 0; i < 18; ++i, Sleep(100)) {
    const UniqueFile pipe(CreateFileA(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
    if (!pipe) continue;
    const std::string request = auth() + "FRAME\n";
    DWORD n = 0;
    char head[4] = {};
    if (WriteFile(pipe.get(), request.data(), static_cast<DWORD>(request.size()), &n, nullptr) &&
        ReadFile(pipe.get(), head, 4, &n, nullptr) && n == 4 && std::string(head, 4) == "RFRA") {
      ++frames;
    }
  }
  EXPECT_EQ(frames, 0);
  busy.reset();
  squatted.reset();
  client::Exchange e;
  EXPECT_TRUE(testing::poll([&] {
    e = client::exchange(auth() + "FRAME\n", 5000);
    return e.failure == client::Failure::kNone;
  }, 20000)) << e.error;
  EXPECT_TRUE(e.bytes.starts_with("RFRA"));
  EXPECT_TRUE(testing::poll([] {
    return read_whole_file(status_file_paths()[0]).value_or("").find("note") == std::string::npos;
  }, 10000));
}

}  // namespace
}  // namespace tolm
