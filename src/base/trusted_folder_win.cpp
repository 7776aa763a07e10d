#include "base/trusted_folder.h"

#include "base/clock_win.h"
#include "base/files.h"
#include "base/handles.h"
#include "base/io_deadline.h"
#include "base/locations.h"
#include "base/security_win.h"
#include "base/win_text.h"

namespace tolm {
namespace {

// A folder opened as itself, never a link's target.
constexpr DWORD kFolderFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
// How long a folder found trustworthy is used on a look at its path's attributes alone.
constexpr ULONGLONG kConfirmMs = 250;

}  // namespace

TrustedFolder::TrustedFolder(std::string path, const wchar_t* security)
    : path_(std::move(path)), security_(security) {}

TrustedFolder::State TrustedFolder::check(bool create) {
  const MutexLock lock(mutex_);
  const IoDeadline deadline(kFileIoMs);
  const Look first = look();
  if (first == Look::kUse) return State::kReady;
  if (first == Look::kUnusable) return State::kUnusable;
  if (first == Look::kMissing && !create) return State::kMissing;
  // Missing, or just moved aside: made anew, it must then pass on its own.
  (void)make_folder();
  return look() == Look::kUse ? State::kReady : State::kUnusable;
}

// The parents as they come; the folder itself with its permissions in the same call, so that it
// never exists with the ones it would inherit.
bool TrustedFolder::make_folder() const {
  const std::size_t slash = path_.find_last_of('\\');
  if (slash != std::string::npos) (void)create_directories(path_.substr(0, slash));
  const UniqueLocal descriptor = security_descriptor(security_);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
  return descriptor &&
         security_calls().create_directory(to_wide(path_).c_str(), &attributes) != FALSE;
}

TrustedFolder::Look TrustedFolder::look() {
  const std::wstring wide = to_wide(path_);
  const DWORD path_attributes = GetFileAttributesW(wide.c_str());
  if (path_attributes == INVALID_FILE_ATTRIBUTES) return Look::kMissing;
  const ULONGLONG now = GetTickCount64();
  const bool plain_folder = (path_attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                            !is_reparse_point(path_attributes);
  if (trusted_ && plain_folder && now - confirmed_at_ms_ < kConfirmMs) return Look::kUse;
  // No delete access here: a shell whose current directory is the folder shares no deletion.
  const UniqueFile folder(CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL, kShareAll,
                                      nullptr, OPEN_EXISTING, kFolderFlags, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!folder || !GetFileInformationByHandle(folder.get(), &info)) return Look::kUnusable;
  const FolderId id{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow,
                    info.ftCreationTime.dwLowDateTime, info.ftCreationTime.dwHighDateTime};
  const bool path_is_link = is_reparse_point(path_attributes);
  const bool handle_is_link = is_reparse_point(info.dwFileAttributes);
  if (!path_is_link && !handle_is_link && trusted_ == id) {
    confirmed_at_ms_ = now;
    return Look::kUse;
  }

  const FolderVerdict verdict =
      judge(folder.get(), path_is_link, handle_is_link,
            (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
  if (verdict == FolderVerdict::kUse) {
    trusted_ = id;
    confirmed_at_ms_ = now;
    return Look::kUse;
  }
  trusted_.reset();
  if (verdict == FolderVerdict::kRefuse) return Look::kUnusable;

  // Renamed through the handle that was judged, so that what moves is what was looked at.
  const UniqueFile mover(ReOpenFile(folder.get(), DELETE | SYNCHRONIZE, kShareAll, kFolderFlags));
  return mover && move_aside(mover.get(), path_, kMovedAsideSuffix)
             ? Look::kMovedAside
             : Look::kUnusable;
}

FolderVerdict TrustedFolder::judge(HANDLE folder, bool path_is_link, bool handle_is_link,
                                   bool is_folder) {
  const std::string owner = owner_sid(folder, SE_FILE_OBJECT);
  const FolderVerdict verdict =
      judge_data_directory({path_is_link, handle_is_link, owner}, own_account_sid());
  if (verdict != FolderVerdict::kUse) return verdict;
  if (!is_folder) return FolderVerdict::kMoveAside;  // a file where the folder belongs
  // A trusted folder that others may add to could become a mount point under the helper's feet:
  // it gets the helper's permissions, through the handle that was judged; failing that, it goes.
  if (others_may_change(folder)) {
    const UniqueFile writer(ReOpenFile(folder, WRITE_DAC, kShareAll, kFolderFlags));
    if (!writer || !set_access_list(writer.get(), security_descriptor(security_).get())) {
      return FolderVerdict::kMoveAside;
    }
  }
  return FolderVerdict::kUse;
}

}  // namespace tolm
