// Portable. Who the helper and its clients trust to own the things they use. No <windows.h>.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tolm {

inline constexpr std::string_view kSystemSid = "S-1-5-18";
inline constexpr std::string_view kAdministratorsSid = "S-1-5-32-544";
inline constexpr std::string_view kOwnerRightsSid = "S-1-3-4";

// SYSTEM, Administrators or the account this process runs as (`own_sid`). An unknown owner (empty
// text) is trusted by nobody.
[[nodiscard]] bool is_trusted_owner(std::string_view owner_sid, std::string_view own_sid) noexcept;

// The owners a client trusts to serve the pipe before it sends the token. An elevated client trusts
// only SYSTEM and Administrators: a process of its own user without elevation could have made the
// pipe.
[[nodiscard]] bool is_trusted_server(std::string_view owner_sid, std::string_view own_sid,
                                     bool elevated) noexcept;

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

// One entry of an access list, as far as the judgement below needs it. `mask` holds the access
// bits as the entry states them, generic ones included.
struct AccessEntry {
  bool allows = false;        // an allow entry (deny entries only take away)
  bool inherit_only = false;  // applies to what is created inside a folder, not to the folder
  std::uint32_t mask = 0;
  std::string sid;  // empty: someone unknown
};

// True when an entry that applies to the object itself lets anyone but SYSTEM, Administrators,
// `own_sid` and the object's owner (OWNER RIGHTS, judged on its own) change it: write a file, add
// files or folders to a folder, delete what is in it, write its attributes, change its permissions
// or owner, or delete it. Such a folder can be turned into a mount point; such a file held.
[[nodiscard]] bool others_may_change(std::span<const AccessEntry> entries,
                                     std::string_view own_sid) noexcept;

// True when an entry that applies to the object itself gives anyone but SYSTEM, Administrators,
// `own_sid` and the object's owner any access at all: whoever may open a file may hold it open with
// no sharing, and so keep everyone else from reading it.
[[nodiscard]] bool others_may_open(std::span<const AccessEntry> entries,
                                   std::string_view own_sid) noexcept;

}  // namespace tolm
