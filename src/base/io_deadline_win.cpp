#include "base/io_deadline.h"

#include <algorithm>
#include <condition_variable>
#include <vector>

#include "base/mutex.h"
#include "base/system_error.h"
#include "base/threads.h"

namespace tolm {

namespace {

using Clock = std::chrono::steady_clock;

// How often a late call is cancelled again.
constexpr std::chrono::milliseconds kCancelAgain{10};

class Watcher {
 public:
  // Made on first use and never destroyed: its thread runs as long as the process.
  static Watcher& get() {
    static Watcher* const watcher = new Watcher;
    return *watcher;
  }

  void arm(IoDeadline::Armed* armed) TOLM_EXCLUDES(mutex_) {
    const MutexLock lock(mutex_);
    armed_.push_back(armed);
    // The watcher sleeps until the earliest deadline it knows of; only an earlier one wakes it,
    // so a thread that bounds every call costs the watcher about one wake per bound.
    if (armed->deadline < wake_at_) changed_.notify_one();
  }

  // Taking the lock waits out a cancellation in progress, so none can reach a later call.
  void disarm(IoDeadline::Armed* armed) TOLM_EXCLUDES(mutex_) {
    const MutexLock lock(mutex_);
    armed_.erase(std::find(armed_.begin(), armed_.end(), armed));
  }

 private:
  Watcher() {
    start_detached_thread([this] { watch(); });
  }

  void watch() TOLM_EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    for (;;) {
      const Clock::time_point now = Clock::now();
      wake_at_ = Clock::time_point::max();
      for (const IoDeadline::Armed* armed : armed_) {
        if (armed->deadline <= now) {
          (void)CancelSynchronousIo(armed->thread);
          wake_at_ = std::min(wake_at_, now + kCancelAgain);
        } else {
          wake_at_ = std::min(wake_at_, armed->deadline);
        }
      }
      if (wake_at_ == Clock::time_point::max()) {
        changed_.wait(lock);
      } else {
        changed_.wait_until(lock, wake_at_);
      }
    }
  }

  // Taken by every thread that bounds a call, and by the watcher thread.
  Mutex mutex_;
  std::condition_variable_any changed_;
  std::vector<IoDeadline::Armed*> armed_ TOLM_GUARDED_BY(mutex_);
  Clock::time_point wake_at_ TOLM_GUARDED_BY(mutex_) = Clock::time_point::max();
};

// The calling thread's handle of IoDeadline, kept for the thread's life and closed by the
// fiber-local-storage callback when it ends.
VOID WINAPI close_thread_handle(PVOID handle) { CloseHandle(handle); }

}  // namespace

HANDLE this_thread_handle() {
  HANDLE self = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self,
                       THREAD_TERMINATE, FALSE, 0)) {
    return nullptr;
  }
  return self;
}

IoDeadline::IoDeadline(std::uint32_t ms)
    : armed_{nullptr, Clock::now() + std::chrono::milliseconds(ms)}, owns_thread_handle_(false) {
  static const DWORD slot = FlsAlloc(&close_thread_handle);
  if (slot != FLS_OUT_OF_INDEXES) armed_.thread = FlsGetValue(slot);
  if (armed_.thread == nullptr) {
    armed_.thread = this_thread_handle();
    owns_thread_handle_ = slot == FLS_OUT_OF_INDEXES || !FlsSetValue(slot, armed_.thread);
  }
  if (armed_.thread != nullptr) Watcher::get().arm(&armed_);
}

IoDeadline::~IoDeadline() {
  const DWORD error = GetLastError();
  if (armed_.thread != nullptr) Watcher::get().disarm(&armed_);
  if (owns_thread_handle_ && armed_.thread != nullptr) CloseHandle(armed_.thread);
  SetLastError(error);
}

}  // namespace tolm
