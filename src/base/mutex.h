// Portable. A mutex the thread-safety analysis knows, and the one way to hold it: for a scope.
#pragma once

#include <mutex>

#include "base/thread_annotations.h"

namespace tolm {

class TOLM_CAPABILITY("mutex") Mutex {
 public:
  void lock() TOLM_ACQUIRE() { mutex_.lock(); }
  void unlock() TOLM_RELEASE() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

// Holds a lock (a Mutex, or a capability of the same shape) from construction to destruction; it
// may let go of it and take it again meanwhile, as std::condition_variable_any does in its waits.
template <class Lockable>
class TOLM_SCOPED_CAPABILITY Locked {
 public:
  explicit Locked(Lockable& lock) TOLM_ACQUIRE(lock) : lock_(lock) { lock_.lock(); }
  ~Locked() TOLM_RELEASE() {
    if (held_) lock_.unlock();
  }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

  void lock() TOLM_ACQUIRE() {
    lock_.lock();
    held_ = true;
  }
  void unlock() TOLM_RELEASE() {
    lock_.unlock();
    held_ = false;
  }

 private:
  Lockable& lock_;
  bool held_ = true;
};

using MutexLock = Locked<Mutex>;

}  // namespace tolm
