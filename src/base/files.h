// Windows only. Whole-file access and the data directory. Paths are UTF-8.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/locations.h"
#include "base/trust.h"
#include "base/mutex.h"

namespace tolm {

// `kDataDirectory` joined with a file name.
[[nodiscard]] std::string data_file(std::string_view name);

// How long one whole-file read or write, or one look at the data directory, may take. Another
// process that may open a file can hold an open of it (an oplock) or a read (a pipe's name given
// as the path) for as long as it likes; past this bound the call is cancelled and fails.
inline constexpr std::uint32_t kFileIoMs = 1000;

// What a whole-file read found: the bytes, or why there are none. `missing`: nothing is at the
// path (nor, perhaps, its folder), as opposed to something there that could not be read.
struct FileRead {
  std::optional<std::string> bytes;
  bool missing = false;
  bool refused = false;  // there, but not taken by Holder::kOwn: counted as missing
};

// Whose files a read takes. `kOwn`: only a plain file (no reparse point, one name) owned by
// SYSTEM, Administrators or this process's account; any other counts as missing. A file a user
// planted before the folder was protected, or a link to one they may write, steers nothing.
enum class Holder { kAnyone, kOwn };

// The bytes of the file; none when it is missing, unreadable or longer than `max_bytes` (control
// files are a few bytes; the bound keeps a runaway file from being read 60 times a second).
[[nodiscard]] FileRead read_file(std::string_view path, std::size_t max_bytes = 1 << 20,
                                 Holder holder = Holder::kAnyone);
[[nodiscard]] std::optional<std::string> read_whole_file(std::string_view path,
                                                         std::size_t max_bytes = 1 << 20);

// True when the file behind `file` (opened with READ_CONTROL, without following a link) is a plain
// file of this process's trust: no reparse point, one name, owned by SYSTEM, Administrators or
// this process's account.
[[nodiscard]] bool is_own_plain_file(HANDLE file);

// Replaces the file's content with `bytes`, and only ever in a file of its own at that name: a
// reparse point, a file with a second hard link, or a file owned by anyone but SYSTEM,
// Administrators and this process's account is not written; its name is moved aside and removed
// (the link, not what it leads to; the file goes when its last holder closes it) and a new plain
// file is made in its place. `security` (SDDL), when given, is the new file's descriptor, and is
// put on a file found there before anything is written into it; otherwise a new file takes what
// its folder gives. The bytes are written over the old ones and the file is then cut to their
// length, which ends as a truncate-then-write would, costs far less than emptying the file first,
// and never shows a reader an empty file when the content is unchanged. Read, write and delete
// sharing, no temporary file, no flush. Returns false on any failure; callers may ignore it.
struct WriteOptions {
  const wchar_t* security = nullptr;  // SDDL
  // An own file already at the name is left as it is: false, with ERROR_FILE_EXISTS. Two
  // processes that both make a file then end with the first one's.
  bool only_if_absent = false;
  // What the file holds once written, read back through the handle that was judged and written.
  std::string* read_back = nullptr;
};
bool write_whole_file(std::string_view path, std::string_view bytes,
                      const WriteOptions& options = {});

// Writes all of `bytes` to `handle` in calls of at most `piece` bytes. False at the first failed
// or empty write.
bool write_in_pieces(HANDLE handle, std::string_view bytes, std::size_t piece);

// The running executable's full path, or nothing with the last-error code set. `get` is
// GetModuleFileNameW unless a test stands in for it.
[[nodiscard]] std::optional<std::wstring> executable_path(
    decltype(&::GetModuleFileNameW) get = &::GetModuleFileNameW);

// Creates a directory and all of its missing parents. True when it exists afterwards.
bool create_directories(std::string_view path);

// A folder that a privileged process writes into, used only while it is a plain folder owned by
// SYSTEM, Administrators or this process's account that nobody else may change. Anything else found
// at the path (a link, a folder of another account, a file) is renamed
// "<name>.untrusted-<ms since 1970>-<random>" (a link is renamed, not its target) and the folder is
// made afresh with `security` (SDDL); a trusted folder that others may change gets `security`
// through its handle, keeping what it holds: every file in it is judged on its own when read
// (Holder::kOwn) and replaced when written.
class TrustedFolder {
 public:
  TrustedFolder(std::string path, const wchar_t* security);

  enum class State { kReady, kMissing, kUnusable };
  // Whether the folder can be used now. A missing folder is made only with `create`.
  [[nodiscard]] State check(bool create) EXCLUDES(mutex_);
  [[nodiscard]] bool ready(bool create) EXCLUDES(mutex_) { return check(create) == State::kReady; }

 private:
  // The creation time too: a file system may give a new folder the index of a deleted one.
  struct FolderId {
    unsigned long volume = 0, high = 0, low = 0, created_low = 0, created_high = 0;
    friend bool operator==(const FolderId&, const FolderId&) = default;
  };
  enum class Look { kMissing, kUse, kMovedAside, kUnusable };
  Look look() REQUIRES(mutex_);
  // Judges the folder behind `folder` anew: a verdict, with the access list mended if need be.
  FolderVerdict judge(HANDLE folder, bool path_is_link, bool handle_is_link, bool is_folder);
  bool make_folder() const;

  // Taken by whichever thread uses the data directory: the capture thread and its helper thread,
  // the serving thread, the service's supervision loop.
  Mutex mutex_;
  const std::string path_;
  const wchar_t* const security_;
  // The folder last found trustworthy: not examined again.
  std::optional<FolderId> trusted_ GUARDED_BY(mutex_);
  // When `trusted_` was last confirmed. In between, a look at the path's attributes suffices: they
  // show a link at once, and a plain folder that replaced the trusted one is caught at the next
  // confirmation, before it can do more than receive the helper's own new files.
  unsigned long long confirmed_at_ms_ GUARDED_BY(mutex_) = 0;
};

// The process's guard of `kDataDirectory`. Every read and write of the helper's own files in it
// goes through it.
[[nodiscard]] TrustedFolder& data_directory();

// A file of the data directory, read only when the folder can be trusted and the file is the
// helper's own (Holder::kOwn); a missing folder is a missing file.
[[nodiscard]] FileRead read_data_file(std::string_view name);

// Writes a file of the data directory, creating the folder when `create_folder` asks for it.
bool write_data_file(std::string_view name, std::string_view bytes, bool create_folder,
                     const WriteOptions& options = {});

}  // namespace tolm
