#include "client/capture_response.h"

#include <cstddef>

#include "server/protocol.h"

namespace tolm::client {
namespace {

// A BMP file states its size in a signed 32-bit field.
constexpr std::uint64_t kMaxBmpBytes = 0x7fffffff;

std::uint32_t word_at(std::string_view bytes, std::size_t at) {
  const auto b = [&](std::size_t i) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + i]));
  };
  return b(0) | b(1) << 8 | b(2) << 16 | b(3) << 24;
}

void put_word(std::string& out, std::uint32_t v, int bytes = 4) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

Response malformed(std::string problem) {
  Response r;
  r.problem = std::move(problem);
  return r;
}

Response read_frame(std::string_view bytes) {
  if (bytes.size() < kFrameHeaderBytes) return malformed("frame header cut short");
  const std::uint32_t width = word_at(bytes, 4);
  const std::uint32_t height = word_at(bytes, 8);
  const std::uint32_t stride = word_at(bytes, 12);
  const std::uint32_t length = word_at(bytes, 16);
  const std::uint64_t received = bytes.size() - kFrameHeaderBytes;
  if (received < length)
    return malformed("frame cut short: " + std::to_string(received) + " of " +
                     std::to_string(length) + " pixel bytes");
  if (received > length) return malformed("bytes after the frame");
  if (width == 0 || height == 0 || stride / 4 < width ||
      static_cast<std::uint64_t>(stride) * height != length)
    return malformed("frame header does not add up");
  Response r;
  r.kind = Kind::kFrame;
  r.frame = {width,
             height,
             stride,
             {reinterpret_cast<const std::uint8_t*>(bytes.data()) + kFrameHeaderBytes, length}};
  return r;
}

}  // namespace

std::string frame_request(std::string_view token) { return status_request(token) + "FRAME\n"; }

std::string status_request(std::string_view token) { return "AUTH " + std::string(token) + "\n"; }

Response read_response(std::string_view bytes, bool asked_for_frame) {
  Response r;
  if (bytes == kUnauthorizedResponse) {
    r.kind = Kind::kUnauthorized;
  } else if (bytes == kNoFrameResponse) {
    r.kind = Kind::kNoFrame;
  } else if (bytes.starts_with("RFRA")) {
    return asked_for_frame ? read_frame(bytes)
                           : malformed("a frame where the status was asked for");
  } else if (bytes.starts_with("RERR")) {
    return malformed("unknown error response");
  } else if (asked_for_frame) {
    return malformed(bytes.empty() ? "no response" : "no frame header");
  } else if (bytes.empty() || bytes.back() != '\n') {
    // The server always ends the status with a line end, even when it has none to send.
    return malformed(bytes.empty() ? "no response" : "status cut short");
  } else {
    r.kind = Kind::kStatus;
    r.text = bytes;
  }
  return r;
}

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
    for (std::uint32_t x = 0; x < frame.width; ++x, p += 4)
      out.append(reinterpret_cast<const char*>(p), 3);
    out.append(static_cast<std::size_t>(row - std::uint64_t{frame.width} * 3), '\0');
  }
  return out;
}

}  // namespace tolm::client
