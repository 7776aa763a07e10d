#include "base/security_win.h"

#include <sddl.h>

#include <vector>

#include "base/handles.h"
#include "base/win_text.h"

namespace tolm {
namespace {

std::string sid_text(PSID sid) {
  LPWSTR text = nullptr;
  if (sid == nullptr || !ConvertSidToStringSidW(sid, &text)) return {};
  std::string out = from_wide(text);
  LocalFree(text);
  return out;
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

const std::string& own_account_sid() {
  static const std::string sid = read_own_account_sid();
  return sid;
}

std::string owner_sid(HANDLE handle, SE_OBJECT_TYPE type) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(handle, type, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                      &descriptor) != ERROR_SUCCESS) {
    return {};
  }
  std::string out = sid_text(owner);  // `owner` points into `descriptor`
  LocalFree(descriptor);
  return out;
}

}  // namespace tolm
