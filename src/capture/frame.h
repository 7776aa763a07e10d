// Portable. The captured picture and the record one capture server shares with its capture
// thread.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/mutex.h"
#include "capture/changes.h"
#include "capture/pixels.h"
#include "protocol/status_document.h"

namespace tolm {

// One picture: `height` rows of `stride` (= width * 4) bytes, top row first, each pixel blue,
// green, red, reserved. Built by the grab and never changed once published.
struct Frame {
  Pixels pixels;
  std::string desktop;
  std::string backend;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t stride = 0;
  // Set by the capture loop for what it publishes: the name the status reports for the desktop,
  // when the grab began (ms since 1970), and the blocks changed since the frame published before
  // (null: unknown, as for the first frame or one of another size).
  std::string desktop_name{};
  std::uint64_t capture_ms = 0;
  std::shared_ptr<const BlockMap> changed{};
  // Its place in `frame_seq`, given when it is published.
  std::uint32_t number = 0;
};

// The pixel memory of frames nobody holds any more, kept for the next grabs: under Wine a fresh
// 8 MB buffer costs about 2 ms in zeroing and page faults, an eighth of the grab itself, and a
// fresh section 8 to 10 ms. Memory a client may still hold is not kept.
class SparePixels {
 public:
  // Enough for the frames clients hold and the ones being sent.
  static constexpr std::size_t kKept = 4;

  void keep(Pixels pixels) TOLM_EXCLUDES(mutex_) {
    if (pixels.empty() || (pixels.memory() && pixels.memory()->handed_out())) return;
    const MutexLock lock(mutex_);
    kept_.push_back(std::move(pixels));
    if (kept_.size() > kKept) kept_.erase(kept_.begin());
  }
  // The buffer kept last, or an empty one.
  [[nodiscard]] Pixels take() TOLM_EXCLUDES(mutex_) {
    const MutexLock lock(mutex_);
    if (kept_.empty()) return {};
    Pixels last = std::move(kept_.back());
    kept_.pop_back();
    return last;
  }

 private:
  Mutex mutex_;
  std::vector<Pixels> kept_ TOLM_GUARDED_BY(mutex_);
};

// A grab gives a frame or the text of what failed.
struct GrabResult {
  std::optional<Frame> frame;
  std::string error;
};

// How many frames back a client may be and still be told only what changed.
inline constexpr std::uint32_t kChangeHistory = 16;

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
      auto* writable = const_cast<Frame*>(next.get());  // nobody else has seen it yet
      writable->number = ++published_;
      history_.push_back({writable->number, writable->changed});
      if (history_.size() > kChangeHistory) history_.pop_front();
      latest_frame_.swap(next);
    }
    frame_seq_.fetch_add(1);
    published_changed_.notify_all();
    return next;
  }

  // The stored frame once it is not the one numbered `held` (any stored frame when `held` is
  // empty), waiting for a publication up to `wait`; null when none came.
  [[nodiscard]] std::shared_ptr<const Frame> wait_for_frame_other_than(
      std::optional<std::uint32_t> held, std::chrono::milliseconds wait) const
      TOLM_EXCLUDES(frame_mutex_, name_mutex_) {
    MutexLock lock(frame_mutex_);
    const auto until = std::chrono::steady_clock::now() + wait;
    for (;;) {
      if (latest_frame_ != nullptr && (!held || latest_frame_->number != *held)) {
        return latest_frame_;
      }
      if (is_stopped() || published_changed_.wait_until(lock, until) == std::cv_status::timeout) {
        break;
      }
    }
    if (latest_frame_ != nullptr && (!held || latest_frame_->number != *held)) return latest_frame_;
    return nullptr;
  }

  // What changed from the frame numbered `held` to `frame`, as rectangles: the union of the blocks
  // of every frame after `held` up to `frame` when all of them are still known and of `frame`'s
  // size; otherwise the whole frame.
  [[nodiscard]] std::vector<Rect> changed_since(std::uint32_t held, const Frame& frame) const
      TOLM_EXCLUDES(frame_mutex_, name_mutex_) {
    const std::uint32_t steps = frame.number - held;  // wraps as the numbers do
    if (held == 0 || steps == 0 || steps > kChangeHistory) {
      return whole_frame(frame.width, frame.height);
    }
    BlockMap region;
    std::uint32_t found = 0;
    {
      const MutexLock lock(frame_mutex_);
      for (const Changes& c : history_) {
        if (frame.number - c.number >= steps) continue;  // `held` or before it, or after `frame`
        if (!c.blocks || c.blocks->width != frame.width || c.blocks->height != frame.height) {
          return whole_frame(frame.width, frame.height);
        }
        if (found++ == 0) {
          region = *c.blocks;
        } else {
          std::transform(region.blocks.begin(), region.blocks.end(), c.blocks->blocks.begin(),
                         region.blocks.begin(), [](std::uint8_t a, std::uint8_t b) {
                           return static_cast<std::uint8_t>(a | b);
                         });
        }
      }
    }
    return found == steps ? block_rects(region) : whole_frame(frame.width, frame.height);
  }

  // Frame requests: the server counts each, and learns whether the loop was slowed for want of
  // them (then the frame it holds is older than the request). The loop waits for the next one.
  bool note_frame_request() {
    {
      const MutexLock lock(request_mutex_);
      ++frame_requests_;
    }
    request_came_.notify_all();
    return idle_.load();
  }
  [[nodiscard]] std::uint64_t frame_requests() const TOLM_EXCLUDES(request_mutex_) {
    const MutexLock lock(request_mutex_);
    return frame_requests_;
  }
  void set_idle(bool idle) noexcept { idle_.store(idle); }
  // Returns once a request other than the `seen` ones has come, or after `wait`.
  void wait_for_request(std::uint64_t seen, std::chrono::nanoseconds wait) const
      TOLM_EXCLUDES(request_mutex_) {
    MutexLock lock(request_mutex_);
    const auto until = std::chrono::steady_clock::now() + wait;
    while (frame_requests_ == seen) {
      if (request_came_.wait_until(lock, until) == std::cv_status::timeout) return;
    }
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
  [[nodiscard]] Pixels spare_pixels() { return spare_->take(); }
  // Memory a client was handed and has given back, for the next grabs.
  void recycle(std::shared_ptr<PixelMemory> memory) {
    memory->set_handed_out(false);
    spare_->keep(Pixels(std::move(memory)));
  }

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

  // Publications wake the servers that wait for a newer frame.
  mutable std::condition_variable_any published_changed_;
  std::uint32_t published_ TOLM_GUARDED_BY(frame_mutex_) = 0;
  // The blocks each recent frame changed, oldest first.
  struct Changes {
    std::uint32_t number = 0;
    std::shared_ptr<const BlockMap> blocks;
  };
  std::deque<Changes> history_ TOLM_GUARDED_BY(frame_mutex_);

  mutable Mutex request_mutex_;
  mutable std::condition_variable_any request_came_;
  std::uint64_t frame_requests_ TOLM_GUARDED_BY(request_mutex_) = 0;
  std::atomic<bool> idle_{false};

  std::atomic<std::uint32_t> frame_seq_{0};  // wraps from 4294967295 to 0
  std::atomic<bool> stopped_{false};
  std::atomic<bool> pipe_name_held_{false};
};

}  // namespace tolm
