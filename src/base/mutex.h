// Portable. A mutex the thread-safety analysis knows, and the one way to hold it: for a scope.
#pragma once

#include <mutex>

#include "base/thread_annotations.h"

namespace tolm {

class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

// Holds a lock (a Mutex, or a capability of the same shape) from construction to destruction; it
// may let go of it and take it again meanwhile, as std::condition_variable_any does in its waits.
template <class Lockable>
class SCOPED_CAPABILITY Locked {
 public:
  explicit Locked(Lockable& lock) ACQUIRE(lock) : lock_(lock) { lock_.lock(); }
  ~Locked() RELEASE() {
    if (held_) lock_.unlock();
  }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

  void lock() ACQUIRE() {
    lock_.lock();
    held_ = true;
  }
  void unlock() RELEASE() {
    lock_.unlock();
    held_ = false;
  }

 private:
  Lockable& lock_;
  bool held_ = true;
};

using MutexLock = Locked<Mutex>;

}  // namespace tolm
