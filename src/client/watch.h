// Portable. What `tolm-capture-client watch` makes of the frames a stream brought: how many, how
// many repeated or missed, the loop's rate, how old each was when it came, how much changed, how
// many bytes each cost.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/answer.h"

namespace tolm::client {

// One frame as it came. `number` and `capture_ms` are 0 from a helper that numbers nothing.
struct Arrival {
  std::uint32_t number = 0;
  std::uint64_t capture_ms = 0;
  std::uint64_t received_ms = 0;  // the same clock (ms since 1970)
  double changed_fraction = 1;    // of the frame's area
  std::uint64_t bytes = 0;        // the whole answer
};

// How much of a frame of `width` x `height` the rectangles cover (they do not overlap).
[[nodiscard]] double area_fraction(const std::vector<Rect>& rects, std::uint32_t width,
                                   std::uint32_t height);

class WatchFigures {
 public:
  void add(const Arrival& a);
  // `seconds`: how long it watched.
  [[nodiscard]] std::string as_text(double seconds) const;
  [[nodiscard]] std::string as_json(double seconds) const;

  struct Summary {
    std::uint64_t frames = 0, repeated = 0, missed = 0;
    double fps = 0, loop_fps = 0, latency_median_ms = 0, latency_p95_ms = 0;
    double changed_fraction = 0, bytes_per_frame = 0;
  };
  [[nodiscard]] Summary summary(double seconds) const;

 private:
  std::uint64_t frames_ = 0, repeated_ = 0, missed_ = 0, bytes_ = 0;
  double changed_ = 0;
  std::vector<double> latencies_ms_;
  std::optional<Arrival> first_numbered_, last_numbered_;
};

}  // namespace tolm::client
