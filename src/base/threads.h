// Windows only. The one way threads are started.
#pragma once

#include <system_error>
#include <thread>
#include <utility>

#include "base/system_error.h"

namespace tolm {

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
