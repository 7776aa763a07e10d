// Portable. The captured picture and the record one capture server shares with its capture
// thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/mutex.h"
#include "protocol/status_document.h"

namespace tolm {

// One picture: `height` rows of `stride` (= width * 4) bytes, top row first, each pixel blue,
// green, red, reserved. Built by the grab and never changed once published.
struct Frame {
  std::vector<std::uint8_t> pixels;
  std::string desktop;
  std::string backend;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t stride = 0;
};

// The pixel memory of a frame nobody holds any more, kept for the next grab: under Wine a fresh
// 8 MB buffer costs about 2 ms in zeroing and page faults, an eighth of the grab itself.
class SparePixels {
 public:
  void keep(std::vector<std::uint8_t> pixels) TOLM_EXCLUDES(mutex_) {
    const MutexLock lock(mutex_);
    pixels_.swap(pixels);
  }
  // The kept buffer, or an empty one.
  [[nodiscard]] std::vector<std::uint8_t> take() TOLM_EXCLUDES(mutex_) {
    const MutexLock lock(mutex_);
    return std::exchange(pixels_, {});
  }

 private:
  Mutex mutex_;
  std::vector<std::uint8_t> pixels_ TOLM_GUARDED_BY(mutex_);
};

// A grab gives a frame or the text of what failed.
struct GrabResult {
  std::optional<Frame> frame;
  std::string error;
};

class CaptureState {
 public:
  [[nodiscard]] static std::shared_ptr<CaptureState> create() {
    return std::make_shared<CaptureState>();
  }

  // Replaces the stored frame, then counts it. The frame is moved, never copied; the one it
  // replaces is handed back, so that the caller decides where its memory is freed. Whoever lets go
  // of a published frame last leaves its pixel memory to `spare_pixels`.
  std::shared_ptr<const Frame> publish_frame(Frame frame) TOLM_EXCLUDES(frame_mutex_, name_mutex_) {
    std::shared_ptr<const Frame> next(new Frame(std::move(frame)), [spare = spare_](Frame* f) {
      spare->keep(std::move(f->pixels));
      delete f;
    });
    {
      const MutexLock lock(frame_mutex_);
      latest_frame_.swap(next);
    }
    frame_seq_.fetch_add(1);
    return next;
  }

  // The stored frame, or null. The lock is held only to copy the pointer.
  [[nodiscard]] std::shared_ptr<const Frame> copy_frame() const
      TOLM_EXCLUDES(frame_mutex_, name_mutex_) {
    const MutexLock lock(frame_mutex_);
    return latest_frame_;
  }

  // The stored frame; when there is none, the result of `grab()` (a `std::shared_ptr<const Frame>`,
  // possibly null), made while the frame lock is held so that no publication happens meanwhile.
  // The grabbed frame is not stored; `grab` must not touch this state.
  template <class Grab>
  [[nodiscard]] std::shared_ptr<const Frame> copy_frame_or(Grab&& grab) const
      TOLM_EXCLUDES(frame_mutex_, name_mutex_) {
    const MutexLock lock(frame_mutex_);
    if (latest_frame_) return latest_frame_;
    return grab();
  }

  [[nodiscard]] bool has_frame() const TOLM_EXCLUDES(frame_mutex_, name_mutex_) {
    const MutexLock lock(frame_mutex_);
    return latest_frame_ != nullptr;
  }

  void set_desktop_name(std::string name) TOLM_EXCLUDES(frame_mutex_, name_mutex_) {
    const MutexLock lock(name_mutex_);
    desktop_name_.swap(name);
  }

  [[nodiscard]] std::string copy_desktop_name() const TOLM_EXCLUDES(frame_mutex_, name_mutex_) {
    const MutexLock lock(name_mutex_);
    return desktop_name_;
  }

  // Memory for the next grab to fill; empty when no published frame has been let go of since.
  [[nodiscard]] std::vector<std::uint8_t> spare_pixels() { return spare_->take(); }

  [[nodiscard]] std::uint32_t read_sequence() const noexcept { return frame_seq_.load(); }

  // Set while the pipe's name belongs to another owner, so that the status says why nobody is
  // served.
  void set_pipe_name_held(bool held) noexcept { pipe_name_held_.store(held); }

  // One lock after the other, never both: the values may come from slightly different moments.
  [[nodiscard]] StatusSnapshot status_snapshot() const TOLM_EXCLUDES(frame_mutex_, name_mutex_) {
    return {copy_desktop_name(), has_frame(), read_sequence(),
            pipe_name_held_.load() ? std::string(kPipeNameHeldNote) : std::string()};
  }
  void mark_stopped() noexcept { stopped_.store(true); }
  [[nodiscard]] bool is_stopped() const noexcept { return stopped_.load(); }

 private:
  // Never held together: every operation that takes one is declared to exclude both, so the
  // analysis refuses a call that would take one while the other is held.
  mutable Mutex frame_mutex_;
  std::shared_ptr<const Frame> latest_frame_ TOLM_GUARDED_BY(frame_mutex_);
  mutable Mutex name_mutex_;
  std::string desktop_name_ TOLM_GUARDED_BY(name_mutex_) = "Default";
  // Shared with the frames' deleters: a frame may outlive the state.
  std::shared_ptr<SparePixels> spare_ = std::make_shared<SparePixels>();

  std::atomic<std::uint32_t> frame_seq_{0};  // wraps from 4294967295 to 0
  std::atomic<bool> stopped_{false};
  std::atomic<bool> pipe_name_held_{false};
};

}  // namespace tolm
