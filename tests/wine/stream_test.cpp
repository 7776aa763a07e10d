// The real helper asked for frames as a stream, on a screen whose corner changes every 5 ms:
// numbered frames with what changed, several clients at once, and a loop that rests while nobody
// asks.
#include <gtest/gtest.h>

#include <windows.h>

#include <thread>

#include "base/clock_win.h"
#include "base/data_directory.h"
#include "base/handles.h"
#include "base/locations_win.h"
#include "child_process.h"
#include "client/pipe_client.h"
#include "client/stream.h"
#include "client/watch.h"
#include "pattern_check.h"
#include "protocol/request.h"
#include "protocol/status_document.h"

namespace tolm {
namespace {

const std::string kToken(64, 'd');

Answer ask(const StreamRequest& stream, client::Exchange& e) {
  e = client::exchange(stream_request(kToken, stream), 10000);
  EXPECT_EQ(e.error, "");
  return read_answer(e.bytes, true);
}

class StreamServer : public testing::HelperOnPattern {
 protected:
  static void SetUpTestSuite() {
    (void)create_directories(kDataDirectory);
    ASSERT_TRUE(write_whole_file(data_file("capture.auth"), kToken));
    start(L"\"" + testing::program_directory() + L"tolm-capture-helper.exe\" --console", 5);
  }
};

// Each of three clients at once gets the frames one after another, none twice and hardly one
// missed; and its copy, patched with the changed pixels only, shows the pattern.
TEST_F(StreamServer, ThreeClientsAtOnceEachGetEveryFrameOnce) {
  client::WatchFigures figures[3];
  std::thread clients[3];
  for (int i = 0; i < 3; ++i) {
    clients[i] = std::thread([&figures, i] {
      client::FrameStream stream(kToken);
      for (const ULONGLONG end = GetTickCount64() + 3000; GetTickCount64() < end;) {
        const client::FrameStream::Next next = stream.next(1000);
        if (next.kind != AnswerKind::kNext) continue;
        const FrameView f = stream.frame();
        figures[i].add({next.number, next.capture_ms, now_unix_ms(),
                        client::area_fraction(next.changed, f.width, f.height),
                        next.exchange.bytes.size()});
      }
      testing::expect_pattern(stream.frame());
    });
  }
  for (std::thread& t : clients) t.join();
  for (const client::WatchFigures& f : figures) {
    const client::WatchFigures::Summary s = f.summary(3);
    std::printf("a client: %s", f.as_text(3).c_str());
    EXPECT_GT(s.frames, 10u);
    EXPECT_EQ(s.repeated, 0u);
    EXPECT_LE(s.missed * 10, s.frames);  // one client a thread: none waits for another
    EXPECT_LT(s.changed_fraction, 0.5);  // the corner, not the whole screen
  }
}

// A client that names the newest frame waits for the next; changed pixels applied onto the frame it
// held are the frame a whole answer of the same number carries.
TEST_F(StreamServer, TheNextFrameAndItsChangesAddUpToTheWholeFrame) {
  client::Exchange e;
  const Answer first = ask({0, 1000, false, false}, e);
  ASSERT_EQ(first.kind, AnswerKind::kNext) << first.problem;
  EXPECT_EQ(first.next.desktop, "Default");
  EXPECT_EQ(first.next.changed, (std::vector<Rect>{{0, 0, 1920, 1080}}));  // nothing held
  std::vector<std::uint8_t> held(first.payload.begin(), first.payload.end());
  const std::uint32_t held_number = first.next.number;
  bool compared = false;
  for (int attempt = 0; attempt < 50 && !compared; ++attempt) {
    client::Exchange changed_exchange, whole_exchange;
    const Answer changed = ask({held_number, 1000, true, false}, changed_exchange);
    ASSERT_EQ(changed.kind, AnswerKind::kNext) << changed.problem;
    EXPECT_NE(changed.next.number, held_number);
    const Answer whole = ask({changed.next.number - 1, 0, false, false}, whole_exchange);
    if (whole.kind != AnswerKind::kNext || whole.next.number != changed.next.number) continue;
    std::vector<std::uint8_t> patched = held;
    ASSERT_TRUE(apply_payload(patched, changed.next, changed.payload));
    EXPECT_TRUE(std::equal(patched.begin(), patched.end(), whole.payload.begin(),
                           whole.payload.end()));
    EXPECT_LT(changed.payload.size(), whole.payload.size());
    compared = true;
  }
  EXPECT_TRUE(compared) << "never two answers with the same frame";
}

// A frame in shared memory is the frame a plain answer of the same number carries, in a section
// this process was given a handle of its own to, which it can map for reading and not for writing.
TEST_F(StreamServer, AFrameInSharedMemoryIsTheWholeFrameAndReadOnly) {
  bool compared = false;
  for (int attempt = 0; attempt < 50 && !compared; ++attempt) {
    client::FrameStream stream(kToken, false, true);
    const client::FrameStream::Next next = stream.next(1000);
    ASSERT_EQ(next.kind, AnswerKind::kNext) << next.problem;
    ASSERT_TRUE(stream.in_section());
    client::Exchange e;
    const Answer whole = ask({next.number - 1, 0, false, false}, e);
    if (whole.kind != AnswerKind::kNext || whole.next.number != next.number) continue;
    const FrameView mapped = stream.frame();
    EXPECT_TRUE(std::equal(mapped.pixels.begin(), mapped.pixels.end(), whole.payload.begin(),
                           whole.payload.end()));
    compared = true;
  }
  EXPECT_TRUE(compared) << "never two answers with the same frame";

  client::Exchange e;
  const Answer shared = ask({0, 1000, false, true}, e);
  ASSERT_EQ(shared.kind, AnswerKind::kNext) << shared.problem;
  ASSERT_EQ(shared.next.payload, Payload::kShared);
  const UniqueHandle section(reinterpret_cast<HANDLE>(shared.next.section));
  EXPECT_EQ(MapViewOfFile(section.get(), FILE_MAP_WRITE, 0, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_ACCESS_DENIED});
  const auto* view = static_cast<const std::uint8_t*>(
      MapViewOfFile(section.get(), FILE_MAP_READ, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  MEMORY_BASIC_INFORMATION info{};
  ASSERT_NE(VirtualQuery(view, &info, sizeof info), 0u);
  EXPECT_EQ(info.Protect, DWORD{PAGE_READONLY});
  EXPECT_GE(info.RegionSize, shared.next.section_bytes);

  // Named no more, but its handle still open here: the helper never writes it again.
  const std::vector<std::uint8_t> held(view, view + shared.next.section_bytes);
  client::FrameStream later(kToken, false, true);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(later.next(1000).kind, AnswerKind::kNext);
  EXPECT_TRUE(std::equal(held.begin(), held.end(), view));
  UnmapViewOfFile(view);
}

// Nobody asks for 2.5 s: the loop publishes nothing while the status still comes four times a
// second; the next request wakes it and gets a frame grabbed after it came.
TEST_F(StreamServer, AnIdleLoopRestsAndTheFirstRequestWakesIt) {
  Sleep(2500);
  const auto status = [] {
    return parse_status(read_whole_file(status_file_paths()[0]).value_or(""));
  };
  const std::optional<StatusDocument> before = status();
  Sleep(1000);
  const std::optional<StatusDocument> after = status();
  ASSERT_TRUE(before && after);
  EXPECT_EQ(after->seq, before->seq);
  EXPECT_GE(after->ts - before->ts, 700u);
  EXPECT_LE(now_unix_ms() - after->ts, 600u);

  const std::uint64_t asked = now_unix_ms();
  client::Exchange e;
  const Answer woken = ask({after->seq, 1000, false, false}, e);
  ASSERT_EQ(woken.kind, AnswerKind::kNext) << woken.problem;
  EXPECT_GE(woken.next.capture_ms, asked);
  EXPECT_GT(woken.next.number, after->seq);
}

}  // namespace
}  // namespace tolm
