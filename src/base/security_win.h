// Windows only. The account this process runs as, who owns a kernel or file object, and the
// permissions the helper gives the files and the folder it makes.
#pragma once

#include <windows.h>

#include <aclapi.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/handles.h"
#include "base/trust.h"

namespace tolm {

// The data folder and everything made in it: SYSTEM, Administrators and its owner full control,
// nobody else anything, nothing inherited from C:\ProgramData (which lets Users add files and
// folders). Whatever a user may open, they may hold open with no sharing and so shut the helper
// and its clients out; whoever the pipe admits is one of these three. The owner is the helper's
// account, which is SYSTEM or an administrator but for a console helper started by a plain user,
// who must still write its own files.
inline constexpr wchar_t kDataFolderSecurity[] =
    L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;OW)";
// capture.auth: the same three, nothing inherited.
inline constexpr wchar_t kTokenFileSecurity[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;OW)";

// The calls through which security is read, set and given to new files and folders. Wine keeps no
// owners and no permissions, so tests stand in for these to see what the helper would judge and
// ask for; everything else uses the system's.
struct SecurityCalls {
  decltype(::GetSecurityInfo)* get_security_info = ::GetSecurityInfo;
  decltype(::SetKernelObjectSecurity)* set_kernel_object_security = ::SetKernelObjectSecurity;
  decltype(::CreateDirectoryW)* create_directory = ::CreateDirectoryW;
  decltype(::CreateFileW)* create_file = ::CreateFileW;
};
[[nodiscard]] SecurityCalls& security_calls();

// The string SID of this process's user ("S-1-5-18" for LocalSystem); empty when it cannot be read.
// Read once: a process's user never changes.
[[nodiscard]] const std::string& own_account_sid();

// Whether this process runs elevated (a full administrator's token, or SYSTEM's). Under Wine every
// process does.
[[nodiscard]] bool is_elevated();

// The owner the helper gives its pipe: SYSTEM for SYSTEM, Administrators for an elevated process
// (so that an elevated client, which trusts only those two, accepts it), else the process's user.
[[nodiscard]] std::string pipe_owner_sid();

// Fills `out` from the system's preferred random generator; false when that fails.
bool system_random(std::span<std::uint8_t> out);

// The string SID of the owner of the object behind `handle` (which needs READ_CONTROL); empty when
// the object has no owner or the call fails.
[[nodiscard]] std::string owner_sid(HANDLE handle, SE_OBJECT_TYPE type);

// The access list of the object behind `handle` (opened with READ_CONTROL) as the judgements of
// trust.h take it; nothing when it cannot be read. No list at all (everyone may do anything) and an
// entry of a kind that is not understood both come back as an entry that gives a stranger
// everything, so that the judgements fail closed.
[[nodiscard]] std::optional<std::vector<AccessEntry>> access_entries(HANDLE handle);

// True when the object behind `handle` (opened with READ_CONTROL) lets someone other than SYSTEM,
// Administrators or this process's account change it; also when its access list cannot be read.
[[nodiscard]] bool others_may_change(HANDLE handle);

// A security descriptor made from SDDL; empty when the text is not one.
[[nodiscard]] UniqueLocal security_descriptor(const wchar_t* sddl);

// Replaces the access list of the object behind `handle` (opened with WRITE_DAC) with the one of
// `descriptor`, through the handle only: nothing is passed on to what a folder holds.
bool set_access_list(HANDLE handle, PSECURITY_DESCRIPTOR descriptor);

}  // namespace tolm
