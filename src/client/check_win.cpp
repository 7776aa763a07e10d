#include "client/check_win.h"

#include <windows.h>

#include <sddl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "base/clock_win.h"
#include "base/data_directory.h"
#include "base/handles.h"
#include "base/locations_win.h"
#include "base/security_win.h"
#include "base/system_error.h"
#include "base/threads.h"
#include "base/trust.h"
#include "base/win_text.h"
#include "protocol/answer.h"
#include "protocol/request.h"
#include "client/pipe_client.h"
#include "protocol/token_file.h"

namespace tolm::check {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kStatusEvery = std::chrono::milliseconds(20);

static_assert(static_cast<DWORD>(ServiceState::kStopped) == SERVICE_STOPPED &&
              static_cast<DWORD>(ServiceState::kStarting) == SERVICE_START_PENDING &&
              static_cast<DWORD>(ServiceState::kStopping) == SERVICE_STOP_PENDING &&
              static_cast<DWORD>(ServiceState::kRunning) == SERVICE_RUNNING &&
              static_cast<DWORD>(ServiceState::kContinuing) == SERVICE_CONTINUE_PENDING &&
              static_cast<DWORD>(ServiceState::kPausing) == SERVICE_PAUSE_PENDING &&
              static_cast<DWORD>(ServiceState::kPaused) == SERVICE_PAUSED);
static_assert(static_cast<DWORD>(StartType::kBoot) == SERVICE_BOOT_START &&
              static_cast<DWORD>(StartType::kSystem) == SERVICE_SYSTEM_START &&
              static_cast<DWORD>(StartType::kAuto) == SERVICE_AUTO_START &&
              static_cast<DWORD>(StartType::kDemand) == SERVICE_DEMAND_START &&
              static_cast<DWORD>(StartType::kDisabled) == SERVICE_DISABLED);
constexpr unsigned kRequestMs = 5000;

std::string account_name(const std::string& sid_text) {
  PSID sid = nullptr;
  if (sid_text.empty() || !ConvertStringSidToSidW(to_wide(sid_text).c_str(), &sid)) return {};
  const UniqueLocal owned(sid);
  wchar_t name[256], domain[256];
  DWORD name_size = 256, domain_size = 256;
  SID_NAME_USE use{};
  if (!LookupAccountSidW(nullptr, sid, name, &name_size, domain, &domain_size, &use)) return {};
  return from_wide(domain) + (domain_size != 0 ? "\\" : "") + from_wide(name);
}

// The object at `path`, opened to read its attributes and security without following a link.
UniqueFile open_to_look(const std::string& path) {
  return UniqueFile(
      CreateFileW(to_wide(path).c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

FolderFacts look_at_folder() {
  FolderFacts f;
  const std::string path(kDataDirectory);
  const DWORD attributes = GetFileAttributesW(to_wide(path).c_str());
  const DWORD attributes_error = GetLastError();
  WIN32_FIND_DATAW found{};
  const UniqueFind search(
      FindFirstFileW(to_wide(path + std::string(kMovedAsideSuffix) + "*").c_str(), &found));
  for (BOOL more = search.valid(); more; more = FindNextFileW(search.get(), &found)) {
    f.moved_aside.push_back("C:\\ProgramData\\" + from_wide(found.cFileName));
  }
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    f.presence = attributes_error == ERROR_ACCESS_DENIED ? Seen::kNotVisible : Seen::kMissing;
    return f;
  }
  f.presence = Seen::kPresent;
  f.is_folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  f.is_link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  const UniqueFile folder = open_to_look(path);
  if (!folder) {
    f.presence = Seen::kNotVisible;
    return f;
  }
  f.owner_sid = owner_sid(folder.get(), SE_FILE_OBJECT);
  f.owner_trusted = is_trusted_owner(f.owner_sid, own_account_sid());
  f.others_may_change = others_may_change(folder.get());
  return f;
}

TokenFileFacts look_at_token(bool given, std::optional<std::string>& token) {
  TokenFileFacts t;
  t.given = given;
  const std::string path = data_file(kTokenFileName);
  const FileRead read = read_file(path);
  t.presence = read.bytes ? Seen::kPresent : read.missing ? Seen::kMissing : Seen::kNotVisible;
  if (read.bytes) {
    const std::optional<std::string> accepted = accept_token_file(*read.bytes);
    t.well_formed = accepted.has_value();
    if (!token) token = accepted;
  }
  if (const UniqueFile file = open_to_look(path)) {
    const std::optional<std::vector<AccessEntry>> entries = access_entries(file.get());
    t.others_may_change = !entries || others_may_change(*entries, own_account_sid());
    t.others_may_open = !entries || others_may_open(*entries, own_account_sid());
  }
  return t;
}

std::uint64_t age_ms(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(to_wide(path).c_str(), GetFileExInfoStandard, &data)) return 0;
  const std::uint64_t written = unix_ms_from_filetime(
      (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
      data.ftLastWriteTime.dwLowDateTime);
  const std::uint64_t now = now_unix_ms();
  return now > written ? now - written : 0;
}

CaptureFacts look_at_capture() {
  CaptureFacts c;
  const std::string error_path = data_file(kLastErrorFileName);
  c.last_error = read_whole_file(error_path);
  if (c.last_error) c.last_error_age_ms = age_ms(error_path);
  c.target_file = read_whole_file(data_file(kCaptureTargetFileName));
  c.display_file = read_whole_file(data_file(kDisplayIndexFileName));
  c.monitors = static_cast<std::uint32_t>(GetSystemMetrics(SM_CMONITORS));
  return c;
}

// Reads the first readable status location every 20 ms until `done`. A file the helper did not
// make (another owner, a link) is passed over, as the helper passes over it.
void watch_status(StatusFacts& s, const std::atomic<bool>& done) {
  std::uint64_t last_note_ts = 0;
  for (; !done; std::this_thread::sleep_for(kStatusEvery)) {
    for (const std::string& path : status_file_paths()) {
      const FileRead read = read_file(path, std::size_t{1} << 20, Holder::kOwn);
      if (read.refused &&
          std::find(s.refused.begin(), s.refused.end(), path) == s.refused.end()) {
        s.refused.push_back(path);
      }
      if (!read.bytes) continue;
      s.location = path;
      s.last_read_ms = now_unix_ms();
      const std::optional<StatusDocument> fields = parse_status(*read.bytes);
      if (!fields) break;
      if (fields->backend == "service") {
        if (fields->ts != last_note_ts) ++s.notes[fields->note.value_or("")];
        last_note_ts = fields->ts;
      } else {
        add_worker_document(s, *fields, s.last_read_ms);
      }
      break;
    }
  }
}

// One exchange's failure as a person reads it; empty when a frame came whole.
std::string frame_failure(const client::Exchange& e, const Answer& r) {
  if (e.failure != client::Failure::kNone) return e.error;
  switch (r.kind) {
    case AnswerKind::kFrame:
      return {};
    case AnswerKind::kUnauthorized:
      return "unauthorized: the helper refused the token";
    case AnswerKind::kNoFrame:
      return "no frame: the helper has no picture yet";
    default:
      return "bad response (" + r.problem + ")";
  }
}

void note_server(PipeFacts& p, const client::Exchange& e, const CheckCalls& calls) {
  p.denied = e.failure == client::Failure::kAccessDenied;
  p.exists = e.failure != client::Failure::kNoServer;
  if (!p.exists) return;
  p.trusted = e.failure != client::Failure::kUntrustedServer;
  p.owner_sid = e.server_owner;
  p.owner_name = account_name(e.server_owner);
  p.process_id = static_cast<std::uint32_t>(e.server_process);
  p.image = p.process_id != 0 ? calls.image_of(p.process_id) : std::nullopt;
  const bool answered = e.failure == client::Failure::kNone && !e.bytes.empty();
  if (p.trusted && !answered) p.failure = e.error.empty() ? "no answer" : e.error;
}
}  // namespace

ServiceFacts query_service() {
  ServiceFacts f;
  const UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) {
    f.presence = Seen::kNotVisible;
    return f;
  }
  const UniqueService service(OpenServiceW(manager.get(), to_wide(kServiceName).c_str(),
                                           SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG));
  if (!service) {
    f.presence =
        GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST ? Seen::kMissing : Seen::kNotVisible;
    return f;
  }
  f.presence = Seen::kPresent;
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                           sizeof status, &needed)) {
    f.state = static_cast<ServiceState>(status.dwCurrentState);
    f.process_id = status.dwProcessId;
  }
  (void)QueryServiceConfigW(service.get(), nullptr, 0, &needed);
  std::vector<std::uint64_t> config(needed / sizeof(std::uint64_t) + 1);  // aligned
  auto* c = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data());
  if (needed != 0 && QueryServiceConfigW(service.get(), c, needed, &needed)) {
    f.start_type = static_cast<StartType>(c->dwStartType);
  }
  return f;
}

std::optional<std::string> image_of_process(std::uint32_t process_id) {
  const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id));
  wchar_t path[MAX_PATH * 2];
  DWORD size = MAX_PATH * 2;
  if (!process || !QueryFullProcessImageNameW(process.get(), 0, path, &size)) return std::nullopt;
  return from_wide(std::wstring_view(path, size));
}

namespace {

// Why no frame will be asked for, from what the first exchange found; empty when they will.
std::string why_not_asked(const PipeFacts& pipe, bool have_token) {
  if (pipe.denied) return "this account may not open the pipe";
  if (!pipe.exists) return "no helper serves the pipe";
  if (!pipe.trusted) return "the pipe's owner is not trusted";
  if (!have_token) return "no token to present";
  return {};
}

// One frame asked for, and what came of it.
void ask_for_frame(FrameFacts& frames, const std::string& token) {
  const Clock::time_point asked = Clock::now();
  const client::Exchange e = client::exchange(frame_request(token), kRequestMs);
  const Answer r = read_answer(e.bytes, true);
  frames.latencies_ms.push_back(
      std::chrono::duration<double, std::milli>(Clock::now() - asked).count());
  if (const std::string failure = frame_failure(e, r); failure.empty()) {
    ++frames.whole;
    frames.width = r.frame.width;
    frames.height = r.frame.height;
    frames.bytes += e.bytes.size();
  } else if (frames.failed++ == 0) {
    frames.first_failure = failure;
  }
}

// A status asked for now is written now: how fresh the helper keeps it is judged by what the file
// showed meanwhile, whatever its pace.
void ask_for_status(StatusFacts& status, const std::string& token) {
  const client::Exchange e = client::exchange(status_request(token), kRequestMs);
  const Answer r = read_answer(e.bytes, false);
  const std::optional<StatusDocument> fields =
      r.kind == AnswerKind::kStatus ? parse_status(r.text) : std::nullopt;
  if (!fields || fields->backend == "service") return;
  if (status.location.empty()) status.location = "the pipe";
  add_worker_document(status, *fields, now_unix_ms());
}

}  // namespace

Observations observe(const CheckOptions& options, const CheckCalls& calls) {
  Observations seen;
  seen.service = calls.query_service();
  seen.folder = look_at_folder();
  std::optional<std::string> token = options.token;
  seen.token = look_at_token(options.token.has_value(), token);

  std::atomic<bool> done{false};
  std::thread status_watcher = start_thread(watch_status, std::ref(seen.status), std::cref(done));
  const Clock::time_point start = Clock::now();
  const Clock::time_point end = start + std::chrono::seconds(options.seconds);
  unsigned reported = options.seconds;
  // Without a token the pipe is still looked at: a request that authorizes nothing is refused.
  note_server(seen.pipe, client::exchange(status_request(token.value_or("")), kRequestMs), calls);
  seen.frames.not_asked = why_not_asked(seen.pipe, token.has_value());
  for (Clock::time_point now = Clock::now(); now < end; now = Clock::now()) {
    const auto left =
        static_cast<unsigned>(std::chrono::ceil<std::chrono::seconds>(end - now).count());
    if (options.progress != nullptr && left < reported) options.progress(reported = left);
    if (seen.frames.not_asked.empty()) {
      ask_for_frame(seen.frames, *token);
    } else {
      std::this_thread::sleep_for(kStatusEvery);
    }
  }
  seen.frames.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  done = true;
  status_watcher.join();
  if (token && seen.pipe.trusted) ask_for_status(seen.status, *token);
  seen.capture = look_at_capture();
  return seen;
}

}  // namespace tolm::check
