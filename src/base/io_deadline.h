// Windows only. Bounds the synchronous calls of a thread that another process could hold up: pipe
// reads, writes, connects and flushes, and file opens and reads (an open waits for as long as the
// holder of an oplock on the file takes to release it), without making any handle overlapped.
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>

namespace tolm {

// While it lives, a call of the thread that made it is cancelled (CancelSynchronousIo) once `ms`
// have passed, and fails with ERROR_OPERATION_ABORTED; the cancel is repeated until the deadline
// goes, so a call that had not yet begun to wait when the first came is caught too. One watcher
// thread serves every thread of the process.
class IoDeadline {
 public:
  explicit IoDeadline(std::uint32_t ms);
  ~IoDeadline();  // keeps the last-error code
  IoDeadline(const IoDeadline&) = delete;
  IoDeadline& operator=(const IoDeadline&) = delete;

  struct Armed {
    HANDLE thread;
    std::chrono::steady_clock::time_point deadline;
  };

 private:
  Armed armed_;
  bool owns_thread_handle_;
};

// A new handle of the calling thread that another thread may cancel its I/O through
// (CancelSynchronousIo); the caller closes it. Null when none can be made.
[[nodiscard]] HANDLE this_thread_handle();

// `call()` on this thread with at most `ms` milliseconds to finish; the last-error code is the
// call's.
template <class Call>
auto within(std::uint32_t ms, Call&& call) {
  const IoDeadline deadline(ms);
  return call();
}

}  // namespace tolm
