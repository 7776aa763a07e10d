// Windows only. Bounds synchronous I/O calls of one thread, pipe reads, writes, connects and
// flushes alike, without making the handle overlapped.
#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>

#include "base/handles.h"

namespace tolm {

// Made on the thread whose calls it bounds. A call still running at its deadline is cancelled
// (CancelSynchronousIo) and fails with ERROR_OPERATION_ABORTED; the cancel is repeated until the
// call has returned, so a call that had not yet started to wait when the first came is caught too.
class IoDeadline {
 public:
  IoDeadline();
  ~IoDeadline();
  IoDeadline(const IoDeadline&) = delete;
  IoDeadline& operator=(const IoDeadline&) = delete;

  // Runs `call` on this thread with at most `ms` milliseconds to finish. The last-error code is
  // the call's.
  template <class Call>
  auto within(std::uint32_t ms, Call&& call) {
    arm(std::chrono::steady_clock::now() + std::chrono::milliseconds(ms));
    auto result = call();
    const DWORD error = GetLastError();
    disarm();
    SetLastError(error);
    return result;
  }

 private:
  void arm(std::chrono::steady_clock::time_point deadline);
  void disarm();
  void watch();

  UniqueHandle target_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<std::chrono::steady_clock::time_point> deadline_;
  bool quit_ = false;
  std::thread watcher_;
};

}  // namespace tolm
