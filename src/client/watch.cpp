#include "client/watch.h"

#include <cstdio>

#include "base/percentile.h"

namespace tolm::client {
namespace {

std::string fixed(double value, int decimals) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

}  // namespace

double area_fraction(const std::vector<Rect>& rects, std::uint32_t width, std::uint32_t height) {
  std::uint64_t area = 0;
  for (const Rect& r : rects) area += std::uint64_t{r.width} * r.height;
  const std::uint64_t whole = std::uint64_t{width} * height;
  return whole == 0 ? 0 : static_cast<double>(area) / static_cast<double>(whole);
}

void WatchFigures::add(const Arrival& a) {
  ++frames_;
  bytes_ += a.bytes;
  changed_ += a.changed_fraction;
  if (a.number == 0) return;  // a helper that numbers nothing: no repeats, gaps or ages to tell
  if (last_numbered_) {
    const std::uint32_t step = a.number - last_numbered_->number;  // wraps as the numbers do
    if (step == 0) ++repeated_;
    if (step > 1 && step < 0x80000000U) missed_ += step - 1;
  }
  if (a.received_ms >= a.capture_ms) {
    latencies_ms_.push_back(static_cast<double>(a.received_ms - a.capture_ms));
  }
  if (!first_numbered_) first_numbered_ = a;
  last_numbered_ = a;
}

WatchFigures::Summary WatchFigures::summary(double seconds) const {
  Summary s;
  s.frames = frames_;
  s.repeated = repeated_;
  s.missed = missed_;
  if (seconds > 0) s.fps = static_cast<double>(frames_) / seconds;
  if (first_numbered_ && last_numbered_->capture_ms > first_numbered_->capture_ms) {
    s.loop_fps = static_cast<double>(last_numbered_->number - first_numbered_->number) * 1000.0 /
                 static_cast<double>(last_numbered_->capture_ms - first_numbered_->capture_ms);
  }
  s.latency_median_ms = percentile(latencies_ms_, 0.5);
  s.latency_p95_ms = percentile(latencies_ms_, 0.95);
  if (frames_ > 0) {
    s.changed_fraction = changed_ / static_cast<double>(frames_);
    s.bytes_per_frame = static_cast<double>(bytes_) / static_cast<double>(frames_);
  }
  return s;
}

std::string WatchFigures::as_text(double seconds) const {
  const Summary s = summary(seconds);
  return std::to_string(s.frames) + " frames (" + fixed(s.fps, 1) + "/s), " +
         std::to_string(s.repeated) + " repeated, " + std::to_string(s.missed) +
         " missed, loop " + fixed(s.loop_fps, 1) + " frames/s, latency median " +
         fixed(s.latency_median_ms, 0) + " ms, 95th percentile " + fixed(s.latency_p95_ms, 0) +
         " ms, " + fixed(100 * s.changed_fraction, 1) + "% changed, " +
         fixed(s.bytes_per_frame, 0) + " bytes a frame\n";
}

std::string WatchFigures::as_json(double seconds) const {
  const Summary s = summary(seconds);
  return "{\"frames\":" + std::to_string(s.frames) + ",\"repeated\":" +
         std::to_string(s.repeated) + ",\"missed\":" + std::to_string(s.missed) +
         ",\"fps\":" + fixed(s.fps, 2) + ",\"loop_fps\":" + fixed(s.loop_fps, 2) +
         ",\"latency_median_ms\":" + fixed(s.latency_median_ms, 1) + ",\"latency_p95_ms\":" +
         fixed(s.latency_p95_ms, 1) + ",\"changed_fraction\":" + fixed(s.changed_fraction, 4) +
         ",\"bytes_per_frame\":" + fixed(s.bytes_per_frame, 0) + "}\n";
}

}  // namespace tolm::client
