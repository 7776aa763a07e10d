// Windows only. What the system says about an error, and the way the process stops when it
// cannot go on.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace tolm {

// The system's message for `code`, trailing white space removed, then " (os error <code>)";
// just "os error <code>" when the system has no message for it.
[[nodiscard]] std::string system_error_text(DWORD code);

// Ends the process with exit code 1 after writing `message` to standard error and to the debugger
// output (a service has no console; a system debugger or DebugView still sees it there).
[[noreturn]] void fatal_stop(std::string_view message);

}  // namespace tolm
