#include "capture/changes.h"

#include <algorithm>
#include <cstring>

namespace tolm {

BlockMap changed_blocks(std::span<const std::uint8_t> before, std::span<const std::uint8_t> after,
                        std::uint32_t width, std::uint32_t height, std::uint32_t stride) {
  const std::uint32_t across = blocks_across(width);
  BlockMap map{width, height,
               std::vector<std::uint8_t>(std::size_t{across} * blocks_across(height))};
  const std::size_t block_bytes = std::size_t{kBlockPixels} * 4;
  const std::size_t last_bytes = (std::size_t{width} - std::size_t{across - 1} * kBlockPixels) * 4;
  // Row by row, so that memory is read in order: a row that is the same (most are) costs one
  // comparison; in one that is not, a block already found changed is skipped.
  const std::size_t row_bytes = std::size_t{width} * 4;
  for (std::uint32_t y = 0; y < height; ++y) {
    std::uint8_t* row_of_blocks = map.blocks.data() + std::size_t{y / kBlockPixels} * across;
    const std::size_t at = std::size_t{y} * stride;
    if (std::memcmp(before.data() + at, after.data() + at, row_bytes) == 0) continue;
    for (std::uint32_t bx = 0; bx < across; ++bx) {
      if (row_of_blocks[bx] != 0) continue;
      const std::size_t offset = at + std::size_t{bx} * block_bytes;
      const std::size_t bytes = bx + 1 == across ? last_bytes : block_bytes;
      if (std::memcmp(before.data() + offset, after.data() + offset, bytes) != 0) {
        row_of_blocks[bx] = 1;
      }
    }
  }
  return map;
}

std::vector<Rect> block_rects(const BlockMap& map) {
  const std::uint32_t across = blocks_across(map.width);
  const std::uint32_t down = blocks_across(map.height);
  std::vector<Rect> rects;
  for (std::uint32_t by = 0; by < down; ++by) {
    const std::uint32_t y = by * kBlockPixels;
    const std::uint32_t h = std::min(kBlockPixels, map.height - y);
    for (std::uint32_t bx = 0; bx < across;) {
      if (map.blocks[std::size_t{by} * across + bx] == 0) {
        ++bx;
        continue;
      }
      std::uint32_t end = bx;
      while (end < across && map.blocks[std::size_t{by} * across + end] != 0) ++end;
      const std::uint32_t x = bx * kBlockPixels;
      const Rect run{x, y, std::min(end * kBlockPixels, map.width) - x, h};
      // A rectangle that ends where this row begins, over the same columns, grows down instead.
      const auto above = std::find_if(rects.begin(), rects.end(), [&](const Rect& r) {
        return r.x == run.x && r.width == run.width && r.y + r.height == y;
      });
      if (above != rects.end()) {
        above->height += h;
      } else {
        rects.push_back(run);
      }
      bx = end;
    }
  }
  return rects;
}

std::vector<Rect> whole_frame(std::uint32_t width, std::uint32_t height) {
  return {Rect{0, 0, width, height}};
}

}  // namespace tolm
