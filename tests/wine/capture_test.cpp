// The capture thread, the desktop tracker and the status writer against the real Wine desktop,
// screen and file system.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "base/clock.h"
#include "base/files.h"
#include "base/handles.h"
#include "base/win_text.h"
#include "capture/capture_system_win.h"
#include "capture/desktop_tracker.h"
#include "pattern_check.h"
#include "pattern_window.h"
#include "status/status_writer.h"

namespace tolm {
namespace {

using namespace std::chrono_literals;

// The capture thread as the server runs it, stopped through its flag and joined.
struct CaptureThread {
  StopFlag stop;
  std::shared_ptr<CaptureState> state = CaptureState::create();
  std::thread thread{run_capture_loop, stop, state};
  ~CaptureThread() { finish(); }
  void finish() {
    stop.set();
    if (thread.joinable()) thread.join();
  }
};

// The number after `"seq":` in a status document, or -1.
long long seq_of(const std::optional<std::string>& doc) {
  if (!doc) return -1;
  const std::size_t at = doc->find(R"("seq":)");
  return at == std::string::npos ? -1 : std::stoll(doc->substr(at + 6));
}

std::vector<std::string> keys(const std::vector<DesktopCandidate>& list) {
  std::vector<std::string> out;
  for (const DesktopCandidate& c : list) out.emplace_back(c.key());
  return out;
}

UniqueDesktop create_desktop(const wchar_t* name) {
  return UniqueDesktop(CreateDesktopW(name, nullptr, nullptr, 0, GENERIC_ALL, nullptr));
}

TEST(CaptureThread, PublishesThePatternCountsFramesAndWritesItsFiles) {
  test_pattern::PatternWindow window;
  ASSERT_TRUE(window.start());
  const std::string status_path = status_file_paths().front();
  DeleteFileW(to_wide(status_path).c_str());

  CaptureThread capture;
  // Pass 15 writes the first status, pass 30 the next: a second or two when the machine is idle,
  // far more when it is busy.
  long long first = -1;
  long long later = -1;
  for (int i = 0; i < 2400 && later <= first; ++i) {
    std::this_thread::sleep_for(25ms);
    const long long seq = seq_of(read_whole_file(status_path));
    if (first < 0) first = seq;
    else later = seq;
  }
  EXPECT_GT(first, 0);
  EXPECT_GT(later, first) << "the status file's seq did not grow";
  capture.finish();
  window.stop();

  ASSERT_TRUE(capture.state->is_stopped());
  const std::uint32_t seq = capture.state->read_sequence();
  EXPECT_GE(seq, static_cast<std::uint32_t>(later));
  const auto frame = capture.state->copy_frame();
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(frame->width, 1920u);
  EXPECT_EQ(frame->backend, "bitblt");
  testing::expect_pattern(*frame);
  EXPECT_EQ(capture.state->copy_desktop_name(), "Default");
  EXPECT_EQ(read_whole_file(data_file("capture.desktop")), "Default");

  // The last status was written after the last publication, alike at all three locations.
  const std::vector<std::string> paths = status_file_paths();
  ASSERT_EQ(paths.size(), 3u);
  EXPECT_EQ(paths[1], "C:\\Windows\\Temp\\tolm-capture-helper.status.json");
  const std::optional<std::string> doc = read_whole_file(paths[0]);
  ASSERT_TRUE(doc);
  const std::string head =
      R"({"ok":true,"desktop":"Default","secureDesktop":false,"helperFrames":true,)"
      R"("driverLoaded":false,"driverCapture":false,"backend":"bitblt","seq":)" +
      std::to_string(seq) + R"(,"ts":)";
  ASSERT_EQ(doc->substr(0, head.size()), head);
  const std::uint64_t ts = std::stoull(doc->substr(head.size()));
  EXPECT_LE(ts, now_unix_ms());
  EXPECT_GT(ts + 60'000, now_unix_ms());
  EXPECT_EQ(*doc, head + std::to_string(ts) + "}\n");
  for (const std::string& path : paths) EXPECT_EQ(read_whole_file(path), doc) << path;
}

TEST(DesktopTracker, ListsCreatedDesktopsInTheirPlaceAndNamesTheInputDesktop) {
  DeleteFileW(to_wide(data_file("capture.desktop")).c_str());
  const UniqueDesktop winlogon = create_desktop(L"Winlogon");
  const UniqueDesktop kiosk = create_desktop(L"Kiosk \u00e9");
  ASSERT_TRUE(winlogon && kiosk);
  const DesktopTracker tracker;
  EXPECT_EQ(keys(tracker.candidate_desktops()),
            (std::vector<std::string>{"__input__", "Winlogon", "Default", "Screen-saver",
                                      "Disconnect", "Kiosk \xC3\xA9"}));
  tracker.remember_desktop("Kiosk \xC3\xA9");
  EXPECT_EQ(keys(tracker.candidate_desktops()),
            (std::vector<std::string>{"__input__", "Kiosk \xC3\xA9", "Winlogon", "Default",
                                      "Screen-saver", "Disconnect"}));
  EXPECT_EQ(tracker.input_desktop_name(), "Default");
  DeleteFileW(to_wide(data_file("capture.desktop")).c_str());
}

TEST(StatusWriter, AnUnwritableDataDirectoryLeavesTheOtherLocations) {
  // A file where the data directory should be: it can be neither created nor written into.
  const std::wstring data_dir = to_wide(std::string(kDataDirectory));
  ASSERT_TRUE(create_directories("C:\\ProgramData"));
  ASSERT_TRUE(write_whole_file(std::string(kDataDirectory), "in the way"));
  const std::vector<std::string> paths = status_file_paths();
  for (const std::string& path : paths) DeleteFileW(to_wide(path).c_str());

  const auto state = CaptureState::create();
  write_status(*state);
  EXPECT_FALSE(read_whole_file(paths[0]));
  const std::optional<std::string> doc = read_whole_file(paths[1]);
  ASSERT_TRUE(doc);
  EXPECT_EQ(doc->rfind(R"({"ok":true,"desktop":"Default","secureDesktop":false,"helperFrames":false,)"
                       R"("driverLoaded":false,"driverCapture":false,"backend":"none","seq":0,"ts":)",
                       0),
            0u)
      << *doc;
  EXPECT_EQ(read_whole_file(paths[2]), doc);

  write_service_status("worker session=1");
  EXPECT_NE(read_whole_file(paths[1])->find(R"("note":"worker session=1")"), std::string::npos);
  EXPECT_EQ(read_whole_file(paths[2]), doc);  // the service variant leaves the third alone
  DeleteFileW(data_dir.c_str());
}

TEST(NoDisplay, APassWithoutAnyPictureRecordsTheLastCandidatesFailure) {
  const UniqueDesktop kiosk = create_desktop(L"Kiosk");  // exists, so its grab gets to the copy
  ASSERT_TRUE(kiosk);
  DeleteFileW(to_wide(data_file("capture.last-error.txt")).c_str());
  {
    CaptureThread capture;
    // A first pass over every desktop can take seconds on a loaded machine.
    for (int i = 0; i < 3000 && !read_whole_file(data_file("capture.last-error.txt")); ++i) {
      std::this_thread::sleep_for(10ms);
    }
    capture.finish();
    EXPECT_EQ(capture.state->copy_frame(), nullptr);
    EXPECT_EQ(capture.state->read_sequence(), 0u);
    EXPECT_EQ(capture.state->copy_desktop_name(), "Default");
  }
  EXPECT_EQ(read_whole_file(data_file("capture.last-error.txt")),
            "Kiosk:BitBlt/StretchBlt failed\n");
  EXPECT_FALSE(read_whole_file(data_file("capture.desktop")));
}

}  // namespace
}  // namespace tolm
