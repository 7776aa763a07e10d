// Portable. Who the helper and its clients trust to own the things they use. No <windows.h>.
#pragma once

#include <string_view>

namespace tolm {

inline constexpr std::string_view kSystemSid = "S-1-5-18";
inline constexpr std::string_view kAdministratorsSid = "S-1-5-32-544";

// SYSTEM, Administrators or the account this process runs as (`own_sid`). An unknown owner (empty
// text) is trusted by nobody.
[[nodiscard]] bool is_trusted_owner(std::string_view owner_sid, std::string_view own_sid) noexcept;

// What is known of the data directory, found present: whether its path reports a reparse point,
// whether the handle opened on it without following links reports one, and its owner.
struct FolderFacts {
  bool path_is_link = false;
  bool handle_is_link = false;
  std::string_view owner_sid;
};

enum class FolderVerdict {
  kUse,        // a plain folder of a trusted owner
  kMoveAside,  // a link, or a foreign owner's folder: rename the opened object and start afresh
  kRefuse,     // the path is a link but the open followed it: renaming would move the target
};

[[nodiscard]] FolderVerdict judge_data_directory(const FolderFacts& facts,
                                                 std::string_view own_sid) noexcept;

}  // namespace tolm
