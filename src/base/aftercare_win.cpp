#include "base/aftercare.h"

#include <utility>

#include "base/threads.h"

namespace tolm {

Aftercare::Aftercare() : thread_(start_thread([this] { run(); })) {}

Aftercare::~Aftercare() {
  {
    const MutexLock lock(mutex_);
    quit_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void Aftercare::post(std::function<void()> job, Mark mark) {
  {
    const MutexLock lock(mutex_);
    jobs_.push_back(std::move(job));
    if (mark == Mark::kWaitedFor) marked_ = posted_ + 1;
    ++posted_;
  }
  changed_.notify_all();
}

void Aftercare::wait_for_marked() {
  MutexLock lock(mutex_);
  wait_until_done(lock, marked_);
}

void Aftercare::wait_for_all() {
  MutexLock lock(mutex_);
  wait_until_done(lock, posted_);
}

void Aftercare::wait_until_done(MutexLock& lock, std::uint64_t count) {
  while (done_ < count) changed_.wait(lock);
}

void Aftercare::run() {
  MutexLock lock(mutex_);
  for (;;) {
    if (jobs_.empty()) {
      if (quit_) break;
      changed_.wait(lock);
      continue;
    }
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    job();
    job = nullptr;  // a frame it held is freed here, off the lock
    lock.lock();
    ++done_;
    changed_.notify_all();
  }
}

}  // namespace tolm
