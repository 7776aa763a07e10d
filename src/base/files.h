// Windows only. Whole files read and written without following a link planted at their name.
// Paths are UTF-8.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>


namespace tolm {

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

// Read, write and delete sharing: the helper's opens never keep anyone else out.
inline constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// True when `attributes` (a file's or a folder's) mark a reparse point: a link or a mount point.
[[nodiscard]] bool is_reparse_point(unsigned long attributes) noexcept;

// Moves the object behind `handle` (opened with DELETE) to a name beside `path` (itself, never a
// link's target): `suffix`, the milliseconds since 1970 and random digits, so that nobody can take
// the name first; a name that is taken after all is followed by another.
bool move_aside(HANDLE handle, const std::string& path, std::string_view suffix);

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

}  // namespace tolm
