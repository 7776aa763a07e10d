// Windows only. A folder a privileged process writes into, used only while nobody else may change
// it. Paths are UTF-8.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "base/mutex.h"
#include "base/trust.h"

namespace tolm {

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
  [[nodiscard]] State check(bool create) TOLM_EXCLUDES(mutex_);
  [[nodiscard]] bool ready(bool create) TOLM_EXCLUDES(mutex_) {
    return check(create) == State::kReady;
  }

 private:
  // The creation time too: a file system may give a new folder the index of a deleted one.
  struct FolderId {
    unsigned long volume = 0, high = 0, low = 0, created_low = 0, created_high = 0;
    friend bool operator==(const FolderId&, const FolderId&) = default;
  };
  enum class Look { kMissing, kUse, kMovedAside, kUnusable };
  Look look() TOLM_REQUIRES(mutex_);
  // Judges the folder behind `folder` anew: a verdict, with the access list mended if need be.
  FolderVerdict judge(HANDLE folder, bool path_is_link, bool handle_is_link, bool is_folder);
  bool make_folder() const;

  // Taken by whichever thread uses the data directory: the capture thread and its helper thread,
  // the serving thread, the service's supervision loop.
  Mutex mutex_;
  const std::string path_;
  const wchar_t* const security_;
  // The folder last found trustworthy: not examined again.
  std::optional<FolderId> trusted_ TOLM_GUARDED_BY(mutex_);
  // When `trusted_` was last confirmed. In between, a look at the path's attributes suffices: they
  // show a link at once, and a plain folder that replaced the trusted one is caught at the next
  // confirmation, before it can do more than receive the helper's own new files.
  unsigned long long confirmed_at_ms_ TOLM_GUARDED_BY(mutex_) = 0;
};

}  // namespace tolm
