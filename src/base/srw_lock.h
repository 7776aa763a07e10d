// Windows only. A slim reader/writer lock, taken exclusively, that the thread-safety analysis
// knows, and a guard that holds it for a scope (and may let go of it and take it again inside).
#pragma once

#include <windows.h>

#include "base/mutex.h"
#include "base/thread_annotations.h"

namespace tolm {

class CAPABILITY("mutex") SrwLock {
 public:
  void lock() ACQUIRE() { AcquireSRWLockExclusive(&lock_); }
  void unlock() RELEASE() { ReleaseSRWLockExclusive(&lock_); }
  // Sleeps on `condition`, letting go of the lock meanwhile; it is held again on return.
  void wait(CONDITION_VARIABLE& condition) REQUIRES(this) {
    SleepConditionVariableSRW(&condition, &lock_, INFINITE, 0);
  }

 private:
  SRWLOCK lock_ = SRWLOCK_INIT;
};

using SrwGuard = Locked<SrwLock>;

}  // namespace tolm
