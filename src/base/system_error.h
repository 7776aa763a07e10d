// Windows only. What the system says about an error, and the way the process stops when it
// cannot go on.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

namespace tolm {

// The system's message for `code`, trailing white space removed, then " (os error <code>)";
// just "os error <code>" when the system has no message for it.
[[nodiscard]] std::string system_error_text(DWORD code);

// Ends the process with exit code 1 after writing `message` to standard error and to the debugger
// output (a service has no console; a system debugger or DebugView still sees it there).
[[noreturn]] void fatal_stop(std::string_view message);

// The one way threads are started: `f(args...)` on a new thread; a thread that cannot be made is a
// fatal stop ("failed to spawn thread"), never an exception that ends the process unexplained.
template <class F, class... Args>
[[nodiscard]] std::thread start_thread(F&& f, Args&&... args) {
  try {
    return std::thread(std::forward<F>(f), std::forward<Args>(args)...);
  } catch (const std::system_error&) {
    fatal_stop("failed to spawn thread");
  }
}

// The same, for a thread that is never joined.
template <class F, class... Args>
void start_detached_thread(F&& f, Args&&... args) {
  start_thread(std::forward<F>(f), std::forward<Args>(args)...).detach();
}

}  // namespace tolm
