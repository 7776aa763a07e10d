#include "base/security_win.h"

#include <sddl.h>

#include <vector>

#include "base/trust.h"
#include "base/win_text.h"

namespace tolm {
namespace {

std::string sid_text(PSID sid) {
  LPWSTR text = nullptr;
  if (sid == nullptr || !ConvertSidToStringSidW(sid, &text)) return {};
  const UniqueLocal owned(text);
  return from_wide(text);
}

std::string read_own_account_sid() {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return {};
  const UniqueHandle token(raw);
  DWORD needed = 0;
  (void)GetTokenInformation(token.get(), TokenUser, nullptr, 0, &needed);
  std::vector<unsigned char> buffer(needed);
  if (needed == 0 || !GetTokenInformation(token.get(), TokenUser, buffer.data(), needed, &needed)) {
    return {};
  }
  return sid_text(reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid);
}

}  // namespace

SecurityCalls& security_calls() {
  static SecurityCalls calls;
  return calls;
}

const std::string& own_account_sid() {
  static const std::string sid = read_own_account_sid();
  return sid;
}

std::string owner_sid(HANDLE handle, SE_OBJECT_TYPE type) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (security_calls().get_security_info(handle, type, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                         nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return {};
  }
  const UniqueLocal owned(descriptor);
  return sid_text(owner);  // `owner` points into `descriptor`
}

bool others_may_change(HANDLE handle) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (security_calls().get_security_info(handle, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                         nullptr, nullptr, &dacl, nullptr,
                                         &descriptor) != ERROR_SUCCESS) {
    return true;
  }
  const UniqueLocal owned(descriptor);
  if (dacl == nullptr) return true;  // no access list: everyone may do anything
  std::vector<std::string> sids(dacl->AceCount);
  std::vector<AccessEntry> entries;
  for (WORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace)) return true;
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    // Allowed and denied entries share their layout up to the SID; other kinds grant nothing here.
    const bool allows = header->AceType == ACCESS_ALLOWED_ACE_TYPE;
    if (!allows && header->AceType != ACCESS_DENIED_ACE_TYPE) continue;
    const auto* entry = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    sids[i] = sid_text(const_cast<DWORD*>(&entry->SidStart));
    entries.push_back({allows, (header->AceFlags & INHERIT_ONLY_ACE) != 0, entry->Mask, sids[i]});
  }
  return others_may_change(entries, own_account_sid());
}

UniqueLocal security_descriptor(const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    return {};
  }
  return UniqueLocal(descriptor);
}

bool set_access_list(HANDLE handle, PSECURITY_DESCRIPTOR descriptor) {
  // SetSecurityInfo would also rewrite what the folder holds, following any link planted inside.
  return descriptor != nullptr &&
         security_calls().set_kernel_object_security(
             handle, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, descriptor);
}

}  // namespace tolm
