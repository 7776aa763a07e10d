#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "base/clock_win.h"
#include "base/files.h"
#include "base/handles.h"
#include "base/security_win.h"
#include "base/trust.h"
#include "base/win_text.h"

namespace tolm {
namespace {

// One WriteFile call's share of a file write.
constexpr std::size_t kFilePieceBytes = 0x10000000;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// How long a folder found trustworthy is used on a look at its path's attributes alone.
constexpr ULONGLONG kConfirmMs = 250;

bool is_link(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }

// Marks the object behind `opened` (itself, never a link's target) for deletion; the name goes when
// the last handle closes.
bool remove_name(HANDLE opened) {
  const UniqueFile deleter(ReOpenFile(opened, DELETE, kShareAll, FILE_FLAG_OPEN_REPARSE_POINT));
  FILE_DISPOSITION_INFO disposition{TRUE};
  return deleter && SetFileInformationByHandle(deleter.get(), FileDispositionInfo, &disposition,
                                               sizeof disposition);
}

bool is_directory(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::string read_owner(void* handle) { return owner_sid(handle, SE_FILE_OBJECT); }

}  // namespace

std::string data_file(std::string_view name) {
  std::string path(kDataDirectory);
  path += '\\';
  path += name;
  return path;
}

std::optional<std::string> read_whole_file(std::string_view path, std::size_t max_bytes) {
  const UniqueFile file(CreateFileW(to_wide(path).c_str(), GENERIC_READ, kShareAll, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return std::nullopt;
  std::string bytes;
  char chunk[4096];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr)) return std::nullopt;
    if (bytes.size() + got > max_bytes) return std::nullopt;
    bytes.append(chunk, got);
    // A disk file reads short only at its end: one call fewer for the small files read each pass.
    if (got < sizeof chunk) return bytes;
  }
}

bool write_whole_file(std::string_view path, std::string_view bytes) {
  const std::wstring wide = to_wide(path);
  // Opened without truncating and without following a link, so that what is there can be looked
  // at before anything is changed.
  UniqueFile file(CreateFileW(wide.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!file || !GetFileInformationByHandle(file.get(), &info)) return false;
  if (is_link(info.dwFileAttributes) || info.nNumberOfLinks > 1) {
    if (!remove_name(file.get())) return false;
    file.reset();
    file = UniqueFile(CreateFileW(wide.c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) return false;
  }
  return write_in_pieces(file.get(), bytes, kFilePieceBytes) && SetEndOfFile(file.get());
}

bool write_in_pieces(HANDLE handle, std::string_view bytes, std::size_t piece) {
  while (!bytes.empty()) {
    const auto size = static_cast<DWORD>(std::min(bytes.size(), piece));
    DWORD written = 0;
    if (!WriteFile(handle, bytes.data(), size, &written, nullptr) || written == 0) return false;
    bytes.remove_prefix(written);
  }
  return true;
}

std::optional<std::wstring> executable_path(decltype(&::GetModuleFileNameW) get) {
  // Past the longest path the system allows (32767 units and the terminator).
  constexpr std::size_t kMaxPathBuffer = 64 * 1024;
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = get(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return std::nullopt;
    if (n < buffer.size()) {
      buffer.resize(n);
      return buffer;
    }
    // A path that fills the buffer may have been cut.
    if (buffer.size() >= kMaxPathBuffer) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return std::nullopt;
    }
    buffer.resize(buffer.size() * 2);
  }
}

bool create_directories(std::string_view path) {
  const std::wstring wide = to_wide(path);
  if (is_directory(wide)) return true;
  // Create every prefix that ends before a separator, then the whole path; existing ones fail
  // harmlessly. Starting at index 3 skips the drive ("C:\").
  for (std::size_t i = 3; i < wide.size(); ++i) {
    if (wide[i] == L'\\' || wide[i] == L'/') CreateDirectoryW(wide.substr(0, i).c_str(), nullptr);
  }
  // No security attributes: the folder inherits its permissions, which let the product's other
  // programs write their control files in it.
  CreateDirectoryW(wide.c_str(), nullptr);
  return is_directory(wide);
}

TrustedFolder::TrustedFolder(std::string path, OwnerOf owner_of)
    : path_(std::move(path)), owner_of_(owner_of != nullptr ? owner_of : &read_owner) {}

bool TrustedFolder::ready(bool create) {
  const std::lock_guard lock(mutex_);
  const Look first = look();
  if (first == Look::kUse) return true;
  if (first == Look::kUnusable || (first == Look::kMissing && !create)) return false;
  // Missing, or just moved aside: made anew, it must then pass on its own.
  (void)create_directories(path_);
  return look() == Look::kUse;
}

TrustedFolder::Look TrustedFolder::look() {
  const std::wstring wide = to_wide(path_);
  const DWORD path_attributes = GetFileAttributesW(wide.c_str());
  if (path_attributes == INVALID_FILE_ATTRIBUTES) return Look::kMissing;
  const ULONGLONG now = GetTickCount64();
  const bool plain_folder = (path_attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                            !is_link(path_attributes);
  if (trusted_ && plain_folder && now - confirmed_at_ms_ < kConfirmMs) return Look::kUse;
  constexpr DWORD kFolderFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
  // No delete access here: a shell whose current directory is the folder shares no deletion.
  const UniqueFile folder(CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL, kShareAll,
                                      nullptr, OPEN_EXISTING, kFolderFlags, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!folder || !GetFileInformationByHandle(folder.get(), &info)) return Look::kUnusable;
  const FolderId id{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow,
                    info.ftCreationTime.dwLowDateTime, info.ftCreationTime.dwHighDateTime};
  const bool path_is_link = is_link(path_attributes);
  const bool handle_is_link = is_link(info.dwFileAttributes);
  if (!path_is_link && !handle_is_link && trusted_ == id) {
    confirmed_at_ms_ = now;
    return Look::kUse;
  }

  const std::string owner = owner_of_(folder.get());
  FolderVerdict verdict =
      judge_data_directory({path_is_link, handle_is_link, owner}, own_account_sid());
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && verdict == FolderVerdict::kUse) {
    verdict = FolderVerdict::kMoveAside;  // a file where the folder belongs
  }
  if (verdict == FolderVerdict::kUse) {
    trusted_ = id;
    confirmed_at_ms_ = now;
    return Look::kUse;
  }
  trusted_.reset();
  if (verdict == FolderVerdict::kRefuse) return Look::kUnusable;

  // Renamed through the handle that was judged, so that what moves is what was looked at.
  const std::wstring aside = to_wide(path_ + ".untrusted-" + std::to_string(now_unix_ms()));
  const UniqueFile mover(ReOpenFile(folder.get(), DELETE | SYNCHRONIZE, kShareAll, kFolderFlags));
  const std::size_t bytes = sizeof(FILE_RENAME_INFO) + aside.size() * sizeof(wchar_t);
  std::vector<std::uint64_t> buffer(bytes / sizeof(std::uint64_t) + 1);  // aligned for the handle
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = FALSE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(aside.size() * sizeof(wchar_t));
  std::copy(aside.begin(), aside.end(), rename->FileName);
  const bool moved = mover && SetFileInformationByHandle(mover.get(), FileRenameInfo, rename,
                                                         static_cast<DWORD>(bytes));
  return moved ? Look::kMovedAside : Look::kUnusable;
}

TrustedFolder& data_directory() {
  static TrustedFolder folder{std::string(kDataDirectory)};
  return folder;
}

std::optional<std::string> read_data_file(std::string_view name) {
  if (!data_directory().ready(false)) return std::nullopt;
  return read_whole_file(data_file(name));
}

bool write_data_file(std::string_view name, std::string_view bytes, bool create_folder) {
  return data_directory().ready(create_folder) && write_whole_file(data_file(name), bytes);
}

}  // namespace tolm
