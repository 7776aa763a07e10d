#include "client/bmp.h"

#include <cstdint>

namespace tolm::client {
namespace {

// A BMP file states its size in a signed 32-bit field.
constexpr std::uint64_t kMaxBmpBytes = 0x7fffffff;

void put_word(std::string& out, std::uint32_t v, int bytes = 4) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

}  // namespace

std::string encode_bmp(const FrameView& frame) {
  const std::uint64_t row = (std::uint64_t{frame.width} * 3 + 3) / 4 * 4;
  const std::uint64_t image = row * frame.height;
  if (54 + image > kMaxBmpBytes) return {};
  std::string out;
  out.reserve(static_cast<std::size_t>(54 + image));
  out += "BM";
  put_word(out, static_cast<std::uint32_t>(54 + image));
  put_word(out, 0);
  put_word(out, 54);  // where the pixels start
  put_word(out, 40);  // BITMAPINFOHEADER
  put_word(out, frame.width);
  put_word(out, frame.height);  // positive: bottom row first
  put_word(out, 1, 2);
  put_word(out, 24, 2);
  put_word(out, 0);  // BI_RGB
  put_word(out, static_cast<std::uint32_t>(image));
  put_word(out, 2835);  // 72 dpi
  put_word(out, 2835);
  put_word(out, 0);
  put_word(out, 0);
  for (std::uint32_t y = frame.height; y-- > 0;) {
    const std::uint8_t* p = frame.pixels.data() + std::size_t{y} * frame.stride;
    for (std::uint32_t x = 0; x < frame.width; ++x, p += 4) {
      out.append(reinterpret_cast<const char*>(p), 3);
    }
    out.append(static_cast<std::size_t>(row - std::uint64_t{frame.width} * 3), '\0');
  }
  return out;
}

}  // namespace tolm::client
