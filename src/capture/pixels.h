// Portable. Where a frame's pixels live: memory of the process's own, or a section of memory the
// helper may hand to a client (PixelMemory, made on Windows: section_pixels_win.h).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

namespace tolm {

class PixelMemory {
 public:
  virtual ~PixelMemory() = default;
  [[nodiscard]] virtual std::span<std::uint8_t> bytes() = 0;
  // While a client may hold it, it is not written again: it is not kept for another grab until
  // whoever handed it out takes it back (CaptureState::recycle).
  void set_handed_out(bool handed_out) noexcept { handed_out_.store(handed_out); }
  [[nodiscard]] bool handed_out() const noexcept { return handed_out_.load(); }

 private:
  std::atomic<bool> handed_out_{false};
};

// A frame's pixel bytes, in either place, used as the vector they always were.
class Pixels {
 public:
  Pixels() = default;
  // NOLINTNEXTLINE(google-explicit-constructor): a vector of bytes is Pixels
  Pixels(std::vector<std::uint8_t> bytes) : vector_(std::move(bytes)) {}
  explicit Pixels(std::shared_ptr<PixelMemory> memory)
      : memory_(std::move(memory)), span_(memory_->bytes()) {}

  [[nodiscard]] std::uint8_t* data() noexcept { return memory_ ? span_.data() : vector_.data(); }
  [[nodiscard]] const std::uint8_t* data() const noexcept {
    return memory_ ? span_.data() : vector_.data();
  }
  [[nodiscard]] std::size_t size() const noexcept {
    return memory_ ? span_.size() : vector_.size();
  }
  [[nodiscard]] bool empty() const noexcept { return size() == 0; }
  [[nodiscard]] std::uint8_t* begin() noexcept { return data(); }
  [[nodiscard]] std::uint8_t* end() noexcept { return data() + size(); }
  [[nodiscard]] const std::uint8_t* begin() const noexcept { return data(); }
  [[nodiscard]] const std::uint8_t* end() const noexcept { return data() + size(); }
  [[nodiscard]] std::uint8_t& operator[](std::size_t i) noexcept { return data()[i]; }
  [[nodiscard]] const std::uint8_t& operator[](std::size_t i) const noexcept { return data()[i]; }
  operator std::span<const std::uint8_t>() const noexcept { return {data(), size()}; }  // NOLINT

  // The section they live in, when they live in one.
  [[nodiscard]] const std::shared_ptr<PixelMemory>& memory() const noexcept { return memory_; }

 private:
  std::vector<std::uint8_t> vector_;
  std::shared_ptr<PixelMemory> memory_;
  std::span<std::uint8_t> span_;  // memory_'s bytes, asked once
};

// Where a grab puts a picture of `bytes` bytes when the memory it was given does not fit.
using AllocatePixels = Pixels (*)(std::size_t bytes);
[[nodiscard]] inline Pixels own_pixels(std::size_t bytes) {
  return std::vector<std::uint8_t>(bytes);
}

}  // namespace tolm
