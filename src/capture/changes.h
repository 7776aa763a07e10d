// Portable. Which parts of a picture changed from one frame to the next: 32 x 32 blocks compared,
// as WebRTC's capturers find their updated region, kept as a map of blocks and sent as rectangles.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "protocol/answer.h"

namespace tolm {

inline constexpr std::uint32_t kBlockPixels = 32;

// One byte a block, rows of blocks from the top, 1 where the two pictures differ. The last row and
// column of blocks may be cut short by the frame's edge.
struct BlockMap {
  std::uint32_t width = 0;   // the frame's, in pixels
  std::uint32_t height = 0;
  std::vector<std::uint8_t> blocks;
};

[[nodiscard]] constexpr std::uint32_t blocks_across(std::uint32_t pixels) noexcept {
  return (pixels + kBlockPixels - 1) / kBlockPixels;
}

// Compares two pictures of the same size (`stride` bytes a row, 4 bytes a pixel) block by block;
// a block found changed is not looked at further.
[[nodiscard]] BlockMap changed_blocks(std::span<const std::uint8_t> before,
                                      std::span<const std::uint8_t> after, std::uint32_t width,
                                      std::uint32_t height, std::uint32_t stride);

// The marked blocks as rectangles within the frame, in rows from the top, not overlapping: the
// runs of each row of blocks, each merged with the run above it when it spans the same columns.
[[nodiscard]] std::vector<Rect> block_rects(const BlockMap& map);

// The whole frame as one rectangle.
[[nodiscard]] std::vector<Rect> whole_frame(std::uint32_t width, std::uint32_t height);

}  // namespace tolm
