#include "base/trust.h"

namespace tolm {

namespace {

// FILE_ADD_FILE (FILE_WRITE_DATA), FILE_ADD_SUBDIRECTORY (FILE_APPEND_DATA), FILE_WRITE_EA,
// FILE_DELETE_CHILD, FILE_WRITE_ATTRIBUTES, DELETE, WRITE_DAC, WRITE_OWNER, GENERIC_ALL and
// GENERIC_WRITE.
constexpr std::uint32_t kFolderChangeRights = 0x2 | 0x4 | 0x10 | 0x40 | 0x100 | 0x10000 |
                                              0x40000 | 0x80000 | 0x10000000 | 0x40000000;

}  // namespace

bool is_trusted_owner(std::string_view owner_sid, std::string_view own_sid) noexcept {
  if (owner_sid.empty()) return false;
  return owner_sid == kSystemSid || owner_sid == kAdministratorsSid || owner_sid == own_sid;
}

FolderVerdict judge_data_directory(const FolderFacts& facts, std::string_view own_sid) noexcept {
  // Wine opens the target of a link even when asked not to; acting on that handle would rename or
  // write the target, so such a folder is left alone.
  if (facts.path_is_link && !facts.handle_is_link) return FolderVerdict::kRefuse;
  if (facts.handle_is_link) return FolderVerdict::kMoveAside;
  return is_trusted_owner(facts.owner_sid, own_sid) ? FolderVerdict::kUse
                                                    : FolderVerdict::kMoveAside;
}

bool is_trusted_server(std::string_view owner_sid, std::string_view own_sid,
                       bool elevated) noexcept {
  return elevated ? owner_sid == kSystemSid || owner_sid == kAdministratorsSid
                  : is_trusted_owner(owner_sid, own_sid);
}

namespace {

bool grants_others(std::span<const AccessEntry> entries, std::string_view own_sid,
                   std::uint32_t rights) noexcept {
  for (const AccessEntry& e : entries) {
    if (e.allows && !e.inherit_only && (e.mask & rights) != 0 && e.sid != kOwnerRightsSid &&
        !is_trusted_owner(e.sid, own_sid)) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool others_may_change(std::span<const AccessEntry> entries, std::string_view own_sid) noexcept {
  return grants_others(entries, own_sid, kFolderChangeRights);
}

bool others_may_open(std::span<const AccessEntry> entries, std::string_view own_sid) noexcept {
  return grants_others(entries, own_sid, 0xFFFFFFFF);
}

}  // namespace tolm
