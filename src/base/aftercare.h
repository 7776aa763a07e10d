// Windows only. Work that must happen but need not hold up its caller, done in the order it was
// handed over, on a thread of its own.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <thread>

#include "base/mutex.h"

namespace tolm {

class Aftercare {
 public:
  Aftercare();
  ~Aftercare();  // finishes what is pending
  Aftercare(const Aftercare&) = delete;
  Aftercare& operator=(const Aftercare&) = delete;

  enum class Mark { kNone, kWaitedFor };
  // `kWaitedFor`: a later `wait_for_marked` waits for this job.
  void post(std::function<void()> job, Mark mark = Mark::kNone) TOLM_EXCLUDES(mutex_);
  void wait_for_marked() TOLM_EXCLUDES(mutex_);
  void wait_for_all() TOLM_EXCLUDES(mutex_);

 private:
  void run() TOLM_EXCLUDES(mutex_);
  void wait_until_done(MutexLock& lock, std::uint64_t count) TOLM_REQUIRES(mutex_);

  Mutex mutex_;
  std::condition_variable_any changed_;
  std::deque<std::function<void()>> jobs_ TOLM_GUARDED_BY(mutex_);
  std::uint64_t posted_ TOLM_GUARDED_BY(mutex_) = 0;
  std::uint64_t done_ TOLM_GUARDED_BY(mutex_) = 0;
  std::uint64_t marked_ TOLM_GUARDED_BY(mutex_) = 0;  // jobs posted up to the last marked one
  bool quit_ TOLM_GUARDED_BY(mutex_) = false;
  std::thread thread_;  // last: started once the members it uses are made
};

}  // namespace tolm
