// Portable. A shared request to end a run: false when created, set at most once, never reset.
// Copies share one flag, which lives until the last copy is gone.
#pragma once

#include <atomic>
#include <memory>

namespace tolm {

class StopFlag {
 public:
  StopFlag() : flag_(std::make_shared<std::atomic<bool>>(false)) {}

  void set() const noexcept { flag_->store(true); }
  [[nodiscard]] bool is_set() const noexcept { return flag_->load(); }

 private:
  std::shared_ptr<std::atomic<bool>> flag_;
};

}  // namespace tolm
