// soak.exe [MINUTES]: runs tolm-capture-helper.exe --console for MINUTES (10 unless given) on the
// test pattern while, all the time, two clients ask for frames and one for the status back to
// back and three take frames as a stream: one as pixels, one from shared memory; and one client
// keeps 100 of the sections it is given, another asks 200 times and closes no handle; the control
// files are rewritten with good and bad values every 3 s, the token is replaced every 30 s
// (renamed over the file, and once rewritten in place), the data directory is deleted once a
// minute, and a client that sends nothing, one that reads half a frame and goes, and one that
// opens read-only come every 3 s. Every 10 s (5 s in a run under 10 minutes) it samples the
// helper's working set and private bytes (each the least of 20 readings over half a second),
// handles (the system's count, which Wine does not keep, and the descriptors of its Linux
// process) and threads. It prints a table, writes soak.svg and soak.tsv beside the build's bin
// folder, and ends with its verdict: "soak: passed" (exit 0) or "soak: failed: <reason>" (exit 1).
#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/data_directory.h"
#include "base/handles.h"
#include "base/win_text.h"
#include "protocol/answer.h"
#include "protocol/request.h"
#include "client/stream.h"
#include "protocol/status_document.h"
#include "client/pipe_client.h"
#include "pattern_window.h"
#include "test_pattern.h"
#include "helper_run.h"
#include "timing.h"

namespace {

using bench::now_ms;

// A run shorter than 10 minutes samples twice as often: its fit has few points after the warm-up.
constexpr DWORD kSampleMs = 10000;
constexpr DWORD kShortRunSampleMs = 5000;
// The longest a client may go without a whole answer: a connection that stays silent holds the
// server for at most 1.2 s and an answer not read for at most 5 s; a deleted token is back within
// about a second. One of each ahead of a client, and its own request, stay below this.
constexpr double kShutOutBoundMs = 8000;

// Growth after the warm-up (the first two minutes, or the first half of a shorter run): a series
// grows when its fitted line rises faster than the first bound per hour, even after three standard
// errors of its slope are taken off, AND by more than the second over the measured span. The rate
// catches a slow leak in a long run; the standard error and the rise keep noise from counting (a
// frame more or less in flight is 8 MB, a file open at the moment of sampling is a descriptor),
// which in a short run is all a slope shows.
struct Tolerance {
  const char* name;
  double per_hour;
  double rise;
};
constexpr Tolerance kTolerances[] = {
    {"working set MB", 32, 16}, {"private MB", 32, 16}, {"descriptors", 20, 8}, {"threads", 4, 2}};

struct Sample {
  double minutes = 0;
  double values[4] = {};  // working set MB, private MB, descriptors, threads
  unsigned long system_handles = 0;
};

class Faults {
 public:
  void add(const std::string& what) {
    const std::lock_guard lock(mutex_);
    if (count_++ < 10) std::fprintf(stderr, "soak: %s\n", what.c_str());
    if (first_.empty()) first_ = what;
  }
  [[nodiscard]] std::string first() {
    const std::lock_guard lock(mutex_);
    return count_ == 0 ? "" : first_ + " (" + std::to_string(count_) + " faults)";
  }

 private:
  std::mutex mutex_;
  std::string first_;
  int count_ = 0;
};

// One client asking back to back; the longest time it went without a whole answer.
struct Client {
  enum class Asks { kFrames, kStatus, kStream, kShared, kHoards, kHoardsAll } asks = Asks::kFrames;
  int answers = 0;
  int refused = 0;  // the token changed between reading it and asking
  double longest_gap_ms = 0;

  std::deque<tolm::UniqueHandle> hoard;  // sections given and not closed

  // A frame in a section, its handle kept: the 100 last, or all of 200 and then no more.
  std::string hoard_one(const std::string& token, bool& whole) {
    if (asks == Asks::kHoardsAll && hoard.size() >= 200) {
      Sleep(100);
      whole = true;
      return {};
    }
    const auto e = tolm::client::exchange(
        tolm::stream_request(token, {0, 1000, false, true}), 10000);
    const auto r = tolm::read_answer(e.bytes, true);
    whole = r.kind == tolm::AnswerKind::kNext;
    if (r.kind == tolm::AnswerKind::kUnauthorized) ++refused;
    if (!whole) return r.kind == tolm::AnswerKind::kMalformed ? "a bad answer: " + r.problem : "";
    if (r.next.payload != tolm::Payload::kShared) return "a frame without its section";
    hoard.emplace_back(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(r.next.section)));
    if (asks == Asks::kHoards && hoard.size() > 100) hoard.pop_front();
    Sleep(asks == Asks::kHoardsAll ? 250 : 0);
    return {};
  }

  // One request; its fault, if it had one. `whole`: it brought an answer.
  std::string ask(const std::string& token, std::optional<tolm::client::FrameStream>& stream,
                  bool& whole) {
    if (asks == Asks::kHoards || asks == Asks::kHoardsAll) return hoard_one(token, whole);
    if (asks == Asks::kStream || asks == Asks::kShared) {
      if (!stream) stream.emplace(token, true, asks == Asks::kShared);
      const tolm::client::FrameStream::Next next = stream->next(1000);
      whole = next.kind == tolm::AnswerKind::kNext || next.kind == tolm::AnswerKind::kNoNewFrame;
      if (next.kind == tolm::AnswerKind::kUnauthorized) ++refused, stream.reset();
      if (next.kind == tolm::AnswerKind::kNext) {
        return tolm::test_pattern::pattern_mismatch(stream->frame());
      }
      return next.kind == tolm::AnswerKind::kMalformed ? "a bad answer: " + next.problem : "";
    }
    const bool frames = asks == Asks::kFrames;
    const auto e = tolm::client::exchange(
        frames ? tolm::frame_request(token) : tolm::status_request(token), 10000);
    const auto r = tolm::read_answer(e.bytes, frames);
    whole = r.kind == tolm::AnswerKind::kFrame || r.kind == tolm::AnswerKind::kStatus;
    if (r.kind == tolm::AnswerKind::kFrame) return tolm::test_pattern::pattern_mismatch(r.frame);
    if (r.kind == tolm::AnswerKind::kStatus) {
      if (r.text.find('\n') != r.text.size() - 1 || !tolm::parse_status(r.text)) {
        return "not one whole document: " + std::string(r.text);
      }
    } else if (r.kind == tolm::AnswerKind::kUnauthorized) {
      ++refused;
    } else if (e.failure == tolm::client::Failure::kNone) {
      return "a bad answer: " + r.problem;
    }
    return {};
  }

  void run(const std::atomic<bool>& stop, Faults& faults) {
    double last_answer = now_ms();
    static const char* const kWhat[] = {"frame client",  "status client",  "stream client",
                                        "shared client", "hoarding client", "hoarding client"};
    const char* what = kWhat[static_cast<int>(asks)];
    std::optional<tolm::client::FrameStream> stream;
    while (!stop) {
      const std::optional<std::string> token = bench::read_token();
      if (token) {
        bool whole = false;
        if (const std::string fault = ask(*token, stream, whole); !fault.empty()) {
          faults.add(std::string(what) + ": " + fault);
        }
        if (whole) {
          ++answers;
          longest_gap_ms = std::max(longest_gap_ms, now_ms() - last_answer);
          last_answer = now_ms();
          continue;
        }
      }
      Sleep(20);
    }
    longest_gap_ms = std::max(longest_gap_ms, now_ms() - last_answer);
  }
};

tolm::UniqueFile open_capture_pipe(DWORD access) {
  for (int i = 0; i < 200; ++i) {
    tolm::UniqueFile pipe(CreateFileA(tolm::kPipeName, access, 0, nullptr, OPEN_EXISTING, 0,
                                      nullptr));
    if (pipe) return pipe;
    if (!WaitNamedPipeA(tolm::kPipeName, 100)) Sleep(10);
  }
  return {};
}

// A client that sends nothing, one that reads half a frame and goes, one that opens read-only.
void misbehave(const std::atomic<bool>& stop) {
  for (int turn = 0; !stop; ++turn, Sleep(3000)) {
    const tolm::UniqueFile pipe =
        open_capture_pipe(turn % 3 == 2 ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE);
    if (turn % 3 == 1) {
      const std::string request =
          tolm::frame_request(bench::read_token().value_or(std::string(64, '0')));
      DWORD n = 0;
      (void)WriteFile(pipe.get(), request.data(), static_cast<DWORD>(request.size()), &n, nullptr);
      std::vector<char> half(4 << 20);
      for (DWORD got = 0; half.size() > got;) {
        if (!ReadFile(pipe.get(), half.data() + got, static_cast<DWORD>(half.size() - got), &n,
                      nullptr)) {
          break;
        }
        got += n;
      }
    } else {
      Sleep(1500);
    }
  }
}

// Control files every 3 s, the token every 30 s, the data directory once a minute.
void disturb(const std::atomic<bool>& stop) {
  const char* targets[] = {"1280x720", "bad", "4000x3000", "+1920x1080\r\n", "", "640x480"};
  const char* indexes[] = {"0", "x", "7", "+0", "-1"};
  for (int second = 1; !stop; ++second, Sleep(1000)) {
    (void)tolm::create_directories(tolm::kDataDirectory);
    if (second % 3 == 0) {
      (void)tolm::write_whole_file(tolm::data_file(tolm::kCaptureTargetFileName),
                                   targets[second / 3 % 6]);
      (void)tolm::write_whole_file(tolm::data_file(tolm::kDisplayIndexFileName),
                                   indexes[second / 3 % 5]);
    }
    if (second % 30 == 0) {
      char token[65];
      for (int i = 0; i < 64; ++i) token[i] = "0123456789abcdef"[std::rand() % 16];
      token[64] = '\0';
      const std::string path = tolm::data_file(tolm::kTokenFileName);
      if (second == 60) {
        (void)tolm::write_whole_file(path, token);  // in place, as a careless program would
      } else if (tolm::write_whole_file(path + ".new", token)) {
        (void)MoveFileExW(tolm::to_wide(path + ".new").c_str(), tolm::to_wide(path).c_str(),
                          MOVEFILE_REPLACE_EXISTING);
      }
    }
    if (second % 60 == 45) {
      std::error_code failed;
      for (int i = 0; i < 200; ++i) {  // the helper keeps writing into it
        if (std::filesystem::remove_all(tolm::kDataDirectory, failed); !failed) break;
      }
    }
  }
}

int count_entries(const std::wstring& pattern) {
  WIN32_FIND_DATAW found{};
  const tolm::UniqueFind search(FindFirstFileW(pattern.c_str(), &found));
  int n = 0;
  for (BOOL more = search.valid(); more; more = FindNextFileW(search.get(), &found)) {
    if (found.cFileName[0] != L'.') ++n;
  }
  return n;
}

int windows_threads(DWORD pid) {
  const tolm::UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  int n = 0;
  for (BOOL more = Thread32First(snapshot.get(), &entry); more;
       more = Thread32Next(snapshot.get(), &entry)) {
    if (entry.th32OwnerProcessID == pid) ++n;
  }
  return n;
}

// The helper's working set and private memory, in MB, at one moment.
std::pair<double, double> memory_now(HANDLE helper, const std::string& proc) {
  std::pair<double, double> mb{0, 0};
  PROCESS_MEMORY_COUNTERS_EX memory{};
  memory.cb = sizeof memory;
  if (GetProcessMemoryInfo(helper, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                           sizeof memory)) {
    mb = {static_cast<double>(memory.WorkingSetSize) / (1 << 20),
          static_cast<double>(memory.PrivateUsage) / (1 << 20)};
  }
  // Wine reports no private bytes for another process: the Linux process's anonymous memory.
  const std::string status = tolm::read_whole_file(proc + "\\status").value_or("");
  if (const std::size_t at = status.find("RssAnon:"); mb.second == 0 && at != std::string::npos) {
    mb.second = std::atof(status.c_str() + at + 8) / 1024;
  }
  return mb;
}

Sample sample(HANDLE helper, unsigned long linux_pid, double start_ms) {
  Sample s;
  s.minutes = (now_ms() - start_ms) / 60000;
  const std::string proc = "Z:\\proc\\" + std::to_string(linux_pid);
  // The least of 20 readings over half a second: a grab under Wine holds the screen's image in
  // buffers of its own (16 to 24 MB more at 1920x1080, seen here) for most of a pass, and one
  // reading says more of whether it fell inside a grab than of what the helper keeps.
  s.values[0] = s.values[1] = INFINITY;
  for (int i = 0; i < 20; ++i, Sleep(25)) {
    const auto [working_set, private_mb] = memory_now(helper, proc);
    s.values[0] = std::min(s.values[0], working_set);
    s.values[1] = std::min(s.values[1], private_mb);
  }
  s.values[2] = count_entries(tolm::to_wide(proc) + L"\\fd\\*");
  s.values[3] = windows_threads(GetProcessId(helper));
  GetProcessHandleCount(helper, &s.system_handles);
  return s;
}

// Least squares over the samples after the warm-up: slope per hour, and the rise over the span.
struct Fit {
  double per_hour = 0;
  double error = 0;  // the slope's standard error, per hour
  double rise = 0;   // over the measured span
};

Fit fit(const std::vector<Sample>& samples, int series, double warm_up) {
  std::vector<std::pair<double, double>> points;
  for (const Sample& s : samples) {
    if (s.minutes >= warm_up) points.emplace_back(s.minutes / 60, s.values[series]);
  }
  if (points.size() < 3) return {0, INFINITY, 0};
  double mx = 0, my = 0;
  for (const auto& [x, y] : points) mx += x, my += y;
  mx /= static_cast<double>(points.size());
  my /= static_cast<double>(points.size());
  double sxy = 0, sxx = 0;
  for (const auto& [x, y] : points) sxy += (x - mx) * (y - my), sxx += (x - mx) * (x - mx);
  if (sxx <= 0) return {0, INFINITY, 0};
  const double slope = sxy / sxx;
  double residuals = 0;
  for (const auto& [x, y] : points) residuals += std::pow(y - my - slope * (x - mx), 2);
  const double error = std::sqrt(residuals / static_cast<double>(points.size() - 2) / sxx);
  return {slope, error, slope * (points.back().first - points.front().first)};
}

void write_picture(const std::vector<Sample>& samples, const std::string& path) {
  std::string svg = R"(<svg xmlns="http://www.w3.org/2000/svg" width="640" height="560" )"
                    R"(font-family="sans-serif" font-size="12">)";
  const double span = std::max(samples.back().minutes, 1e-9);
  for (int series = 0; series < 4; ++series) {
    double low = samples[0].values[series], high = low;
    for (const Sample& s : samples) {
      low = std::min(low, s.values[series]);
      high = std::max(high, s.values[series]);
    }
    const double top = 20 + series * 135.0, range = std::max(high - low, 1.0);
    char head[200];
    std::snprintf(head, sizeof head,
                  R"(<text x="40" y="%.0f">%s: %.1f to %.1f over %.1f min</text>)"
                  R"(<rect x="40" y="%.0f" width="580" height="100" fill="none" stroke="#999"/>)",
                  top, kTolerances[series].name, low, high, span, top + 8);
    svg += head;
    svg += R"(<polyline fill="none" stroke="#1565c0" stroke-width="2" points=")";
    for (const Sample& s : samples) {
      char point[48];
      std::snprintf(point, sizeof point, "%.1f,%.1f ", 40 + 580 * s.minutes / span,
                    top + 104 - 92 * (s.values[series] - low) / range);
      svg += point;
    }
    svg += "\"/>";
  }
  (void)tolm::write_whole_file(path, svg + "</svg>\n");
}

}  // namespace

int main(int argc, char** argv) {
  const double minutes = argc > 1 ? std::atof(argv[1]) : 10;
  const std::wstring exe = tolm::executable_path().value_or(L"");
  const std::wstring bin = exe.substr(0, exe.find_last_of(L'\\') + 1);
  std::srand(static_cast<unsigned>(GetTickCount64()));
  (void)tolm::create_directories(tolm::kDataDirectory);
  (void)tolm::write_whole_file(tolm::data_file(tolm::kTokenFileName), std::string(64, 'a'));

  tolm::test_pattern::PatternWindow pattern;
  if (!pattern.start()) return std::puts("soak: failed: the test pattern did not start"), 1;
  const std::string marker = "soak-" + std::to_string(GetCurrentProcessId());
  const tolm::UniqueProcess helper = bench::start_helper(tolm::to_wide(marker));
  if (!helper.process) return std::puts("soak: failed: the helper did not start"), 1;
  Sleep(3000);  // its first frame; the clients' gaps count from here
  const unsigned long linux_pid = bench::linux_process(marker);

  Faults faults;
  std::atomic<bool> stop{false};
  Client clients[7];
  clients[2].asks = Client::Asks::kStatus;
  clients[3].asks = Client::Asks::kStream;
  clients[4].asks = Client::Asks::kShared;
  clients[5].asks = Client::Asks::kHoards;
  clients[6].asks = Client::Asks::kHoardsAll;
  std::vector<std::thread> threads;
  for (Client& c : clients) threads.emplace_back([&] { c.run(stop, faults); });
  threads.emplace_back(misbehave, std::cref(stop));
  threads.emplace_back(disturb, std::cref(stop));

  std::vector<Sample> samples;
  const double start = now_ms();
  std::printf("minute  working set MB  private MB  descriptors  threads  system handles\n");
  for (;;) {
    samples.push_back(sample(helper.process.get(), linux_pid, start));
    const Sample& s = samples.back();
    std::printf("%6.1f  %14.1f  %10.1f  %11.0f  %7.0f  %14lu\n", s.minutes, s.values[0],
                s.values[1], s.values[2], s.values[3], s.system_handles);
    std::fflush(stdout);
    if (s.minutes >= minutes || WaitForSingleObject(helper.process.get(), 0) == WAIT_OBJECT_0) {
      break;
    }
    const DWORD every = minutes < 10 ? kShortRunSampleMs : kSampleMs;
    Sleep(static_cast<DWORD>(std::min<double>(every, (minutes - s.minutes) * 60000 + 1)));
  }
  stop = true;
  for (std::thread& t : threads) t.join();

  std::string table = "minute\tworking set MB\tprivate MB\tdescriptors\tthreads\n";
  for (const Sample& s : samples) {
    table += std::to_string(s.minutes) + "\t" + std::to_string(s.values[0]) + "\t" +
             std::to_string(s.values[1]) + "\t" + std::to_string(s.values[2]) + "\t" +
             std::to_string(s.values[3]) + "\n";
  }
  (void)tolm::write_whole_file(tolm::from_wide(bin) + "..\\soak.tsv", table);
  write_picture(samples, tolm::from_wide(bin) + "..\\soak.svg");

  std::string verdict;
  if (WaitForSingleObject(helper.process.get(), 0) == WAIT_OBJECT_0) verdict = "the helper ended";
  if (linux_pid == 0 && verdict.empty()) verdict = "the helper's Linux process was not found";
  const double warm_up = std::min(2.0, minutes / 2);
  for (int series = 0; series < 4; ++series) {
    const Fit f = fit(samples, series, warm_up);
    const Tolerance& t = kTolerances[series];
    std::printf("%s: %+.2f per hour (standard error %.2f), %+.2f over the measured span (growth: "
                "above %.0f per hour less 3 errors, and %.0f)\n",
                t.name, f.per_hour, f.error, f.rise, t.per_hour, t.rise);
    if (verdict.empty() && f.per_hour - 3 * f.error > t.per_hour && f.rise > t.rise) {
      verdict = std::string(t.name) + " grew by " + std::to_string(f.rise);
    }
  }
  const char* names[] = {"frame client 1",   "frame client 2",  "status client",
                         "stream client",    "shared client",   "client keeping 100 sections",
                         "client keeping 200 sections"};
  for (int i = 0; i < 7; ++i) {
    std::printf("%s: %d whole answers, %d refused after a token change, longest wait %.0f ms\n",
                names[i], clients[i].answers, clients[i].refused, clients[i].longest_gap_ms);
    if (verdict.empty() && clients[i].longest_gap_ms > kShutOutBoundMs) {
      verdict = std::string(names[i]) + " waited " +
                std::to_string(static_cast<int>(clients[i].longest_gap_ms)) + " ms";
    }
  }
  if (verdict.empty()) verdict = faults.first();
  TerminateProcess(helper.process.get(), 0);
  pattern.stop();
  if (!verdict.empty()) return std::printf("soak: failed: %s\n", verdict.c_str()), 1;
  std::puts("soak: passed");
  return 0;
}
