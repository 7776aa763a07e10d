// Windows only. The account this process runs as, and who owns a kernel or file object.
#pragma once

#include <windows.h>

#include <aclapi.h>

#include <string>

namespace tolm {

// The string SID of this process's user ("S-1-5-18" for LocalSystem); empty when it cannot be read.
// Read once: a process's user never changes.
[[nodiscard]] const std::string& own_account_sid();

// The string SID of the owner of the object behind `handle` (which needs READ_CONTROL); empty when
// the object has no owner or the call fails.
[[nodiscard]] std::string owner_sid(HANDLE handle, SE_OBJECT_TYPE type);

}  // namespace tolm
