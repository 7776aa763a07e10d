#include "base/io_deadline.h"

namespace tolm {

namespace {

// How often a late call is cancelled again.
constexpr std::chrono::milliseconds kCancelAgain{10};

}  // namespace

IoDeadline::IoDeadline() {
  HANDLE self = nullptr;
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self,
                  THREAD_TERMINATE, FALSE, 0);
  target_ = UniqueHandle(self);
  watcher_ = std::thread([this] { watch(); });
}

IoDeadline::~IoDeadline() {
  {
    const std::lock_guard lock(mutex_);
    quit_ = true;
  }
  changed_.notify_one();
  watcher_.join();
}

void IoDeadline::arm(std::chrono::steady_clock::time_point deadline) {
  {
    const std::lock_guard lock(mutex_);
    deadline_ = deadline;
  }
  changed_.notify_one();
}

// Taking the lock waits out a cancellation in progress, so none can reach a later call.
void IoDeadline::disarm() {
  const std::lock_guard lock(mutex_);
  deadline_.reset();
}

void IoDeadline::watch() {
  std::unique_lock lock(mutex_);
  while (!quit_) {
    if (!deadline_) {
      changed_.wait(lock);
    } else if (std::chrono::steady_clock::now() < *deadline_) {
      changed_.wait_until(lock, *deadline_);
    } else {
      if (target_) CancelSynchronousIo(target_.get());
      changed_.wait_for(lock, kCancelAgain);
    }
  }
}

}  // namespace tolm
