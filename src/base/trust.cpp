#include "base/trust.h"

namespace tolm {

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

}  // namespace tolm
