// The capture thread, the desktop tracker and the status writer against the real Wine desktop,
// screen and file system.
#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "base/clock_win.h"
#include "base/data_directory.h"
#include "base/handles.h"
#include "base/win_text.h"
#include "capture/capture_system_win.h"
#include "capture/control_files_win.h"
#include "capture/desktop_tracker_win.h"
#include "child_process.h"
#include "pattern_window.h"
#include "security_stand_in.h"
#include "server/access_token_win.h"
#include "protocol/status_document.h"
#include "status/status_writer.h"

namespace tolm {
namespace {

using Strings = std::vector<std::string>;

// Runs the capture thread as the server does, until `done()`; then stops it through its flag.
// `status_at_stop`: the status file as it is the moment the state says stopped.
template <class Done>
std::shared_ptr<CaptureState> capture_until(Done done,
                                            std::optional<std::string>* status_at_stop = nullptr) {
  StopFlag stop;
  const auto state = CaptureState::create();
  std::thread thread(run_capture_loop, stop, state, nullptr);
  // Up to two minutes: a first pass over every desktop can take seconds on a busy machine.
  (void)testing::poll(done, 120000, 25);
  stop.set();
  while (!state->is_stopped()) Sleep(0);
  if (status_at_stop != nullptr) *status_at_stop = read_whole_file(status_file_paths()[0]);
  thread.join();
  return state;
}

// The number after `"<key>":` in a status document, or -1.
long long number_in(const std::optional<std::string>& doc, const std::string& key) {
  const std::size_t at = doc ? doc->find('"' + key + "\":") : std::string::npos;
  return at == std::string::npos ? -1 : std::stoll(doc->substr(at + key.size() + 3));
}

void remove_file(const std::string& path) { DeleteFileW(to_wide(path).c_str()); }

UniqueDesktop create_desktop(const wchar_t* name) {
  return UniqueDesktop(CreateDesktopW(name, nullptr, nullptr, 0, GENERIC_ALL, nullptr));
}

TEST(CaptureThread, PublishesThePatternAndRewritesTheStatusWhileRunning) {
  test_pattern::PatternWindow window;
  ASSERT_TRUE(window.start());
  const Strings paths = status_file_paths();
  ASSERT_EQ(paths.size(), 3u);
  remove_file(paths[0]);
  long long first = -1;  // the first seq above 0 in the status file, then a later one
  long long later = -1;
  std::optional<std::string> doc;
  const auto state = capture_until(
      [&] {
        (first > 0 ? later : first) = number_in(read_whole_file(paths[0]), "seq");
        return later > first;
      },
      &doc);
  window.stop();
  EXPECT_GT(first, 0);
  EXPECT_GT(later, first) << "the status file was not rewritten";

  EXPECT_NE(state->copy_frame(), nullptr);  // its pixels are the server tests' part
  EXPECT_EQ(state->copy_desktop_name(), "Default");
  EXPECT_EQ(read_whole_file(data_file("capture.desktop")), "Default");
  // The last status was written after the last publication, and before the state said stopped.
  const long long ts = number_in(doc, "ts");
  EXPECT_LE(ts, static_cast<long long>(now_unix_ms()));
  EXPECT_GT(ts + 600'000, static_cast<long long>(now_unix_ms()));
  EXPECT_EQ(doc, format_worker_status("Default", true, state->read_sequence(), ts));
}

TEST(DesktopTracker, ListsCreatedDesktopsInTheirPlaceAndNamesTheInputDesktop) {
  remove_file(data_file("capture.desktop"));
  const UniqueDesktop winlogon = create_desktop(L"Winlogon");
  const UniqueDesktop kiosk = create_desktop(L"Kiosk \u00e9");
  ASSERT_TRUE(winlogon && kiosk);
  const DesktopTracker tracker;
  const auto keys = [&tracker] {
    Strings out;
    for (const DesktopCandidate& c : tracker.candidate_desktops()) out.emplace_back(c.key());
    return out;
  };
  const std::string kiosk_name = "Kiosk \xC3\xA9";
  EXPECT_EQ(keys(), (Strings{"__input__", "Winlogon", "Default", "Screen-saver", "Disconnect",
                             kiosk_name}));
  tracker.remember_desktop(kiosk_name);
  EXPECT_EQ(keys(), (Strings{"__input__", kiosk_name, "Winlogon", "Default", "Screen-saver",
                             "Disconnect"}));
  EXPECT_EQ(tracker.input_desktop_name(), "Default");
  remove_file(data_file("capture.desktop"));
}

// The data directory as a folder link made from Linux to a folder of victim files. Wine follows
// such a link even when told not to, so the helper can neither use it nor move it aside (that
// would move the victims): it writes nothing there and the status lands in the other locations.
TEST(StatusWriter, ADataDirectoryLinkIsNotWrittenThroughAndTheOtherLocationsAre) {
  const std::wstring victims = L"C:\\victims";
  ASSERT_TRUE(create_directories(from_wide(victims)));
  const Strings names = {"tolm-capture-helper.status.json", "capture.desktop",
                         "capture.last-error.txt", "capture.auth"};
  for (const std::string& name : names) {
    ASSERT_TRUE(write_whole_file(from_wide(victims) + "\\" + name, "victim " + name));
  }
  MoveFileExW(to_wide(kDataDirectory).c_str(), L"C:\\ProgramData\\Tolm.before", 0);
  testing::link_folder_from_linux(to_wide(kDataDirectory), victims);
  const Strings paths = status_file_paths();
  ASSERT_EQ(paths.size(), 3u);
  EXPECT_EQ(paths[1], "C:\\Windows\\Temp\\tolm-capture-helper.status.json");
  remove_file(paths[1]);
  remove_file(paths[2]);

  write_status(StatusSnapshot{"Default", false, 0});
  const std::optional<std::string> doc = read_whole_file(paths[1]);
  EXPECT_EQ(doc, format_worker_status("Default", false, 0, number_in(doc, "ts")));
  EXPECT_EQ(read_whole_file(paths[2]), doc);
  write_service_status("worker session=1");
  EXPECT_NE(read_whole_file(paths[1])->find(R"("note":"worker session=1")"), std::string::npos);
  EXPECT_EQ(read_whole_file(paths[2]), doc);  // the service variant leaves the third alone
  DesktopTracker().remember_desktop("Default");
  write_last_error("Default:blank frame");
  EXPECT_FALSE(read_data_file("capture.desktop").bytes);
  EXPECT_EQ(load_or_create_token(), "");  // no token is made that could be stored nowhere

  for (const std::string& name : names) {
    EXPECT_EQ(read_whole_file(from_wide(victims) + "\\" + name), "victim " + name);
  }
}

// Wine keeps no owners and no permissions, so those come from stand-ins here; the folder, the
// rename and the files are real.
TEST(TrustedFolder, AForeignFolderIsMovedAsideAWritableOneProtectedANewOneMadeProtected) {
  const testing::SecurityStandIns stand_ins;
  const std::string path = "C:\\trust\\Tolm";
  const std::wstring made = L"C:\\trust\\Tolm " + std::wstring(kDataFolderSecurity);
  const auto folder = [&] { return TrustedFolder(path, kDataFolderSecurity); };
  EXPECT_FALSE(folder().ready(false));  // missing, and not to be made
  ASSERT_TRUE(folder().ready(true));
  EXPECT_EQ(testing::asked_security, std::vector<std::wstring>{made});
  ASSERT_TRUE(write_whole_file(path + "\\planted", "theirs"));

  // Anyone but SYSTEM, Administrators and the helper's account may add to it: protected in place.
  testing::reported_security[L"\\trust\\Tolm"] = {L"O:SYD:(A;OICI;FA;;;SY)(A;CI;0x6;;;BU)", 2};
  EXPECT_TRUE(folder().ready(false));
  EXPECT_EQ(testing::asked_security.size(), 2u);
  EXPECT_EQ(read_whole_file(path + "\\planted"), "theirs");
  // What a user put in it before counts as missing, and steers nothing.
  testing::reported_security[L"\\planted"] = {L"O:S-1-5-21-9-9-9-1234"};
  EXPECT_TRUE(read_file(path + "\\planted", 64, Holder::kOwn).refused);
  EXPECT_EQ(read_file(path + "\\planted", 64, Holder::kOwn).bytes, "theirs");

  testing::reported_security[L"\\trust\\Tolm"] = {L"O:S-1-5-21-9-9-9-1234"};
  EXPECT_TRUE(folder().ready(false));
  EXPECT_EQ(testing::asked_security.back(), made);
  EXPECT_FALSE(read_whole_file(path + "\\planted"));  // a fresh, empty folder

  WIN32_FIND_DATAW found{};
  const HANDLE search = FindFirstFileW(L"C:\\trust\\Tolm.untrusted-*", &found);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  FindClose(search);
  // A time and random digits: a name nobody could have taken first.
  const std::string aside = from_wide(found.cFileName);
  EXPECT_TRUE(std::regex_match(aside, std::regex(R"(Tolm\.untrusted-\d+-[0-9a-f]{16})"))) << aside;
  EXPECT_EQ(read_whole_file("C:\\trust\\" + aside + "\\planted"), "theirs");

  // A plain folder put in the place of one found trustworthy is judged at the next confirmation.
  testing::reported_security.clear();
  TrustedFolder kept = folder();
  ASSERT_TRUE(kept.ready(false));
  ASSERT_TRUE(MoveFileExW(to_wide(path).c_str(), L"C:\\trust\\gone", 0));
  ASSERT_TRUE(CreateDirectoryW(to_wide(path).c_str(), nullptr));
  testing::reported_security[L"\\trust\\Tolm"] = {L"O:S-1-5-21-9-9-9-1234"};
  Sleep(300);  // past the 250 ms in which a look at the path's attributes suffices
  EXPECT_TRUE(kept.ready(false));
  EXPECT_EQ(testing::asked_security.back(), made) << "the new folder's owner was not looked at";
}

}  // namespace
}  // namespace tolm
