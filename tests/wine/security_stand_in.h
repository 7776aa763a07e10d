// Windows only. Wine keeps no owners and no permissions: stand-ins for the helper's security calls.
// The next `queries` queries of an object whose path ends with a key of `reported_security` get the
// owner and access list of that SDDL (a judgement asks for the owner, then for the access list);
// every descriptor the helper sets or gives a new file or folder is recorded in `asked_security`.
#pragma once

#include <windows.h>

#include <sddl.h>

#include <map>
#include <string>
#include <vector>

#include "base/security_win.h"

namespace tolm::testing {

struct Reported {
  std::wstring sddl;
  int queries = 1;
};
inline std::map<std::wstring, Reported> reported_security;
inline std::vector<std::wstring> asked_security;  // "<path> <access list>"

inline std::wstring path_of(HANDLE h) {
  wchar_t path[1024] = {};
  return GetFinalPathNameByHandleW(h, path, 1024, 0) != 0 ? path + 4 : L"";  // after "\\?\"
}

inline void record(const std::wstring& path, PSECURITY_DESCRIPTOR d) {
  LPWSTR text = nullptr;
  if (ConvertSecurityDescriptorToStringSecurityDescriptorW(d, SDDL_REVISION_1,
                                                           DACL_SECURITY_INFORMATION, &text,
                                                           nullptr)) {
    asked_security.push_back(path + L" " + text);
    LocalFree(text);
  }
}

inline DWORD WINAPI reporting_get(HANDLE h, SE_OBJECT_TYPE type, SECURITY_INFORMATION what,
                                  PSID* owner, PSID* group, PACL* dacl, PACL* sacl,
                                  PSECURITY_DESCRIPTOR* d) {
  const std::wstring path = path_of(h);
  for (auto it = reported_security.begin(); it != reported_security.end(); ++it) {
    const std::size_t n = it->first.size();
    if (path.size() < n || _wcsicmp(path.c_str() + path.size() - n, it->first.c_str()) != 0) {
      continue;
    }
    ConvertStringSecurityDescriptorToSecurityDescriptorW(it->second.sddl.c_str(), SDDL_REVISION_1,
                                                         d, nullptr);
    if (--it->second.queries == 0) reported_security.erase(it);
    BOOL present = FALSE, defaulted = FALSE;
    if (owner != nullptr) GetSecurityDescriptorOwner(*d, owner, &defaulted);
    if (dacl != nullptr) GetSecurityDescriptorDacl(*d, &present, dacl, &defaulted);
    return ERROR_SUCCESS;
  }
  return GetSecurityInfo(h, type, what, owner, group, dacl, sacl, d);
}

// Puts the stand-ins in place for as long as it lives.
struct SecurityStandIns {
  SecurityStandIns() {
    reported_security.clear();
    asked_security.clear();
    security_calls() = {
        &reporting_get,
        [](HANDLE h, SECURITY_INFORMATION what, PSECURITY_DESCRIPTOR d) -> BOOL {
          record(path_of(h), d);
          return SetKernelObjectSecurity(h, what, d);
        },
        [](LPCWSTR path, LPSECURITY_ATTRIBUTES sa) -> BOOL {
          record(path, sa->lpSecurityDescriptor);
          return CreateDirectoryW(path, sa);
        },
        [](LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
           DWORD flags, HANDLE model) {
          const HANDLE h = CreateFileW(path, access, share, sa, disposition, flags, model);
          const DWORD error = GetLastError();
          if (sa != nullptr && h != INVALID_HANDLE_VALUE && error != ERROR_ALREADY_EXISTS) {
            record(path, sa->lpSecurityDescriptor);
          }
          SetLastError(error);
          return h;
        }};
  }
  ~SecurityStandIns() { security_calls() = {}; }
};

}  // namespace tolm::testing
