// tolm-capture-client.exe: asks the capture helper for its status or a frame.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "base/command_line.h"
#include "base/data_directory.h"
#include "base/text.h"
#include "base/win_text.h"
#include "protocol/answer.h"
#include "protocol/request.h"
#include "client/bmp.h"
#include "base/clock_win.h"
#include "client/check_win.h"
#include "client/stream.h"
#include "client/watch.h"
#include "client/pipe_client.h"
#include "protocol/token_file.h"

namespace {

using tolm::AnswerKind;

enum Exit : int {
  kOk = 0,
  kUsage = 2,
  kUnauthorized = 3,
  kNoFrame = 4,
  kNoServer = 5,
  kMalformed = 6,
  kOther = 7,
  kUntrustedServer = 8,
  kProblem = tolm::check::kExitProblem,
};
static_assert(tolm::check::kExitHealthy == kOk);

constexpr char kUsageText[] =
    "usage: tolm-capture-client status [--token TOKEN] [--timeout MS]\n"
    "       tolm-capture-client frame --out FILE.bmp [--token TOKEN] [--timeout MS]\n"
    "       tolm-capture-client check [--seconds N] [--json] [--token TOKEN]\n"
    "       tolm-capture-client watch [--seconds N] [--json] [--shared] [--token TOKEN]\n"
    "The token is read from C:\\ProgramData\\Tolm\\capture.auth unless given.\n"
    "check watches and asks for N seconds (3, at most 60) and says what is wrong.\n"
    "watch takes frames as a stream for N seconds (5, at most 3600) and says how they came;\n"
    "with --shared, each in shared memory.\n"
    "Exit status: 0 done (check: healthy), 2 usage, 3 unauthorized, 4 no frame, 5 no server,\n"
    "6 truncated or malformed response, 7 anything else, 8 pipe served by an untrusted owner,\n"
    "9 check found a problem.\n";

int fail(int code, const std::string& message) {
  std::fprintf(stderr, "tolm-capture-client: %s\n", message.c_str());
  return code;
}

struct Options {
  std::string command;
  std::string out;
  std::optional<std::string> token;
  unsigned timeout_ms = 5000;
  unsigned seconds = 3;
  bool json = false;
  bool shared = false;
};

// The options, or what is wrong with them.
std::optional<Options> parse(const std::vector<std::string>& args, std::string& wrong) {
  if (args.size() < 2 ||
      (args[1] != "status" && args[1] != "frame" && args[1] != "check" && args[1] != "watch")) {
    return std::nullopt;
  }
  Options o;
  o.command = args[1];
  const bool watch = o.command == "watch";
  const bool check = o.command == "check" || watch;  // the options they share
  const unsigned long long max_seconds = watch ? 3600 : 60;
  if (watch) o.seconds = 5;
  for (std::size_t i = 2; i < args.size(); i += 2) {
    if (check && (args[i] == "--json" || (watch && args[i] == "--shared"))) {
      (args[i] == "--json" ? o.json : o.shared) = true;
      --i;  // a flag without a value
      continue;
    }
    if (i + 1 >= args.size()) {
      wrong = args[i] + " needs a value, or is not an option of " + o.command;
      return std::nullopt;
    }
    const std::string& value = args[i + 1];
    unsigned long long number = 0;
    if (args[i] == "--token") {
      o.token = value;
    } else if (args[i] == "--out" && o.command == "frame" && !value.empty()) {
      o.out = value;
    } else if (args[i] == "--timeout" && !check && tolm::parse_unsigned(value, 600000, number) &&
               number > 0) {
      o.timeout_ms = static_cast<unsigned>(number);
    } else if (args[i] == "--seconds" && check) {
      if (!tolm::parse_unsigned(value, max_seconds, number) || number == 0) {
        wrong = "--seconds takes a whole number from 1 to " + std::to_string(max_seconds) +
                ", not \"" + value + "\"";
        return std::nullopt;
      }
      o.seconds = static_cast<unsigned>(number);
    } else {
      wrong = "unknown option or bad value: " + args[i] + " " + value;
      return std::nullopt;
    }
  }
  if (o.command == "frame" && o.out.empty()) return std::nullopt;
  return o;
}

// Written beside the target, never through a link planted at that name, and moved over it (a move
// replaces a link rather than writing through it), so a reader never sees half an image.
// Returns 0 or the error code of the step that failed.
DWORD save(const std::string& path, const std::string& bytes) {
  const std::wstring temporary =
      tolm::to_wide(path + ".tmp" + std::to_string(GetCurrentProcessId()));
  const bool saved = tolm::write_whole_file(tolm::from_wide(temporary), bytes) &&
                     MoveFileExW(temporary.c_str(), tolm::to_wide(path).c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  const DWORD error = saved ? 0 : GetLastError();
  if (error != 0) DeleteFileW(temporary.c_str());
  return error;
}

void show_progress(unsigned seconds_left) {
  std::fprintf(stderr, "checking: %u s left\n", seconds_left);
}

int check(const Options& o) {
  const tolm::check::Observations seen =
      tolm::check::observe({o.seconds, o.token, &show_progress});
  const std::vector<tolm::check::Finding> findings = tolm::check::judge(seen);
  const std::string report =
      o.json ? tolm::check::as_json(findings) : tolm::check::as_text(findings);
  std::fwrite(report.data(), 1, report.size(), stdout);
  if (std::fflush(stdout) != 0) return kOther;
  return tolm::check::healthy(findings) ? kOk : kProblem;
}

// The token given, or the one capture.auth holds; nothing, said why, when there is none.
std::optional<std::string> token_of(const Options& o) {
  if (o.token) return o.token;
  const std::string path = tolm::data_file(tolm::kTokenFileName);
  const std::optional<std::string> bytes = tolm::read_whole_file(path);
  std::optional<std::string> accepted = bytes ? tolm::accept_token_file(*bytes) : std::nullopt;
  if (!accepted) (void)fail(kOther, "no token in " + path + " (is the helper running?)");
  return accepted;
}

// The exit code for an exchange that failed; kOk when it did not.
int exchange_failure(const tolm::client::Exchange& ex) {
  switch (ex.failure) {
    case tolm::client::Failure::kNone:
      return kOk;
    case tolm::client::Failure::kNoServer:
      return fail(kNoServer, ex.error);
    case tolm::client::Failure::kUntrustedServer:
      return fail(kUntrustedServer, ex.error);
    case tolm::client::Failure::kTooLong:
      return fail(kMalformed, ex.error);
    default:
      return fail(kOther, ex.error);
  }
}

int watch(const Options& o, const std::string& token) {
  tolm::client::FrameStream stream(token, true, o.shared);
  tolm::client::WatchFigures figures;
  const ULONGLONG start = GetTickCount64();
  const ULONGLONG end = start + 1000ULL * o.seconds;
  ULONGLONG next_report = start + 1000;
  for (ULONGLONG now = start; now < end; now = GetTickCount64()) {
    const tolm::client::FrameStream::Next next =
        stream.next(static_cast<std::uint32_t>(std::min<ULONGLONG>(end - now, 1000)));
    if (const int code = exchange_failure(next.exchange); code != kOk) return code;
    switch (next.kind) {
      case AnswerKind::kNext:
      case AnswerKind::kFrame: {
        const tolm::FrameView f = stream.frame();
        figures.add({next.number, next.capture_ms, tolm::now_unix_ms(),
                     tolm::client::area_fraction(next.changed, f.width, f.height),
                     next.exchange.bytes.size()});
        break;
      }
      case AnswerKind::kNoNewFrame:
        break;
      case AnswerKind::kUnauthorized:
        return fail(kUnauthorized, "unauthorized: the helper refused the token");
      default:
        return fail(kMalformed, "bad response (" + next.problem + ")");
    }
    if (const ULONGLONG t = GetTickCount64(); t >= next_report) {
      next_report = t + 1000;
      const std::string line = figures.as_text(static_cast<double>(t - start) / 1000);
      std::fprintf(stderr, "watching: %s", line.c_str());
    }
  }
  const double seconds = static_cast<double>(GetTickCount64() - start) / 1000;
  const std::string report = o.json ? figures.as_json(seconds) : figures.as_text(seconds);
  std::fwrite(report.data(), 1, report.size(), stdout);
  if (std::fflush(stdout) != 0) return kOther;
  if (figures.summary(seconds).frames == 0) return fail(kNoFrame, "no frame came");
  return kOk;
}

int run(const Options& o) {
  if (o.command == "check") return check(o);
  const std::optional<std::string> given = token_of(o);
  if (!given) return kOther;
  const std::string& token = *given;
  if (o.command == "watch") return watch(o, token);

  const bool frame = o.command == "frame";
  const std::string request =
      frame ? tolm::frame_request(token) : tolm::status_request(token);
  const tolm::client::Exchange ex = tolm::client::exchange(request, o.timeout_ms);
  if (const int code = exchange_failure(ex); code != kOk) return code;

  const tolm::Answer r = tolm::read_answer(ex.bytes, frame);
  switch (r.kind) {
    case AnswerKind::kUnauthorized:
      return fail(kUnauthorized, "unauthorized: the helper refused the token");
    case AnswerKind::kNoFrame:
      return fail(kNoFrame, "no frame: the helper has no picture of the screen yet");
    case AnswerKind::kMalformed:
      return fail(kMalformed, "bad response (" + r.problem + ")");
    case AnswerKind::kNext:
    case AnswerKind::kNoNewFrame:
      return fail(kMalformed, "bad response (a stream answer to a plain request)");
    case AnswerKind::kStatus:
      // The document's own bytes, without a CR added before its line end.
      _setmode(_fileno(stdout), _O_BINARY);
      std::fwrite(r.text.data(), 1, r.text.size(), stdout);
      return std::fflush(stdout) == 0 ? kOk : kOther;
    case AnswerKind::kFrame: {
      const std::string bmp = tolm::client::encode_bmp(r.frame);
      if (bmp.empty()) return fail(kOther, "frame too large for a BMP file");
      if (const DWORD error = save(o.out, bmp); error != 0) {
        return fail(kOther, "cannot write " + o.out + " (error " + std::to_string(error) + ")");
      }
      std::printf("%ux%u frame saved to %s\n", r.frame.width, r.frame.height, o.out.c_str());
      return kOk;
    }
  }
  return kOther;
}

}  // namespace

int main() {
  std::string wrong;
  const std::optional<Options> options = parse(tolm::command_line_arguments(), wrong);
  if (!options) {
    if (!wrong.empty()) std::fprintf(stderr, "tolm-capture-client: %s\n", wrong.c_str());
    std::fputs(kUsageText, stderr);
    return kUsage;
  }
  return run(*options);
}
