#include "base/security_win.h"

#include <bcrypt.h>
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

std::optional<std::vector<AccessEntry>> access_entries(HANDLE handle) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (security_calls().get_security_info(handle, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                         nullptr, nullptr, &dacl, nullptr,
                                         &descriptor) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  const UniqueLocal owned(descriptor);
  // Entries keep their SIDs as text; a stranger's entry has an empty one.
  static const AccessEntry kStranger{true, false, 0xFFFFFFFF, {}};
  if (dacl == nullptr) return std::vector<AccessEntry>{kStranger};
  std::vector<AccessEntry> entries;
  for (WORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace)) return std::nullopt;
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    switch (header->AceType) {
      case ACCESS_ALLOWED_ACE_TYPE:
      case ACCESS_DENIED_ACE_TYPE: {  // the same layout up to the SID
        const auto* entry = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
        entries.push_back({header->AceType == ACCESS_ALLOWED_ACE_TYPE,
                           (header->AceFlags & INHERIT_ONLY_ACE) != 0, entry->Mask,
                           sid_text(const_cast<DWORD*>(&entry->SidStart))});
        break;
      }
      case ACCESS_DENIED_OBJECT_ACE_TYPE:
      case ACCESS_DENIED_CALLBACK_ACE_TYPE:
      case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
        break;  // a denial only takes away
      default:  // conditional, object or unknown grants: who knows to whom
        entries.push_back(kStranger);
        break;
    }
  }
  return entries;
}

bool others_may_change(HANDLE handle) {
  const std::optional<std::vector<AccessEntry>> entries = access_entries(handle);
  return !entries || others_may_change(*entries, own_account_sid());
}

bool is_elevated() {
  // A process's elevation never changes: asked once (a client asks before every exchange).
  static const bool elevated = [] {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return false;
    const UniqueHandle token(raw);
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    return GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation,
                               &size) &&
           elevation.TokenIsElevated != 0;
  }();
  return elevated;
}

std::string pipe_owner_sid() {
  const std::string& own = own_account_sid();
  if (own == kSystemSid || !is_elevated()) return own;
  return std::string(kAdministratorsSid);
}

bool system_random(std::span<std::uint8_t> out) {
  return BCryptGenRandom(nullptr, out.data(), static_cast<ULONG>(out.size()),
                         BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
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
