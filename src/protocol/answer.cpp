#include "protocol/answer.h"

#include <algorithm>

namespace tolm {
namespace {

std::uint32_t word_at(std::string_view bytes, std::size_t at) {
  const auto b = [&](std::size_t i) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + i]));
  };
  return b(0) | b(1) << 8 | b(2) << 16 | b(3) << 24;
}

std::uint64_t long_at(std::string_view bytes, std::size_t at) {
  return word_at(bytes, at) | std::uint64_t{word_at(bytes, at + 4)} << 32;
}

void put_word(std::string& out, std::uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) out += static_cast<char>((v >> shift) & 0xFF);
}

// The most rectangles a frame can be cut into: one a 32 x 32 block of the largest frame.
constexpr std::uint32_t kMaxRects = (2560 / 32) * (1440 / 32);
constexpr std::uint32_t kMaxDesktopBytes = 1024;

Answer malformed(std::string problem) {
  Answer a;
  a.problem = std::move(problem);
  return a;
}

Answer read_frame(std::string_view bytes) {
  if (bytes.size() < kFrameHeaderBytes) return malformed("frame header cut short");
  const std::uint32_t width = word_at(bytes, 4);
  const std::uint32_t height = word_at(bytes, 8);
  const std::uint32_t stride = word_at(bytes, 12);
  const std::uint32_t length = word_at(bytes, 16);
  const std::uint64_t received = bytes.size() - kFrameHeaderBytes;
  if (received < length) {
    return malformed("frame cut short: " + std::to_string(received) + " of " +
                     std::to_string(length) + " pixel bytes");
  }
  if (received > length) return malformed("bytes after the frame");
  if (width == 0 || height == 0 || stride / 4 < width ||
      static_cast<std::uint64_t>(stride) * height != length) {
    return malformed("frame header does not add up");
  }
  Answer a;
  a.kind = AnswerKind::kFrame;
  a.frame = {width,
             height,
             stride,
             {reinterpret_cast<const std::uint8_t*>(bytes.data()) + kFrameHeaderBytes, length}};
  return a;
}

std::vector<Rect> whole_frame_rects(const NextHeader& h) {
  return {Rect{0, 0, h.width, h.height}};
}

bool inside(const Rect& r, const NextHeader& h) {
  return r.width > 0 && r.height > 0 && r.x < h.width && r.width <= h.width - r.x &&
         r.y < h.height && r.height <= h.height - r.y;
}

Answer read_next(std::string_view bytes) {
  if (bytes.size() < kNextFixedBytes) return malformed("stream header cut short");
  const std::uint32_t header_bytes = word_at(bytes, 4);
  NextHeader h;
  h.number = word_at(bytes, 8);
  h.capture_ms = long_at(bytes, 12);
  h.width = word_at(bytes, 20);
  h.height = word_at(bytes, 24);
  h.stride = word_at(bytes, 28);
  const std::uint32_t payload = word_at(bytes, 32);
  h.payload_bytes = word_at(bytes, 36);
  const std::uint32_t rects = word_at(bytes, 40);
  const std::uint32_t desktop = word_at(bytes, 44);
  const std::uint64_t shared_at = kNextFixedBytes + std::uint64_t{rects} * 16 + desktop;
  const std::uint64_t needed = shared_at + (payload == 2 ? 16 : 0);
  if (payload > 2 || rects > kMaxRects || desktop > kMaxDesktopBytes || header_bytes < needed ||
      header_bytes > bytes.size()) {
    return malformed("stream header does not add up");
  }
  h.payload = static_cast<Payload>(payload);
  for (std::uint32_t i = 0; i < rects; ++i) {
    const std::size_t at = kNextFixedBytes + std::size_t{i} * 16;
    h.changed.push_back({word_at(bytes, at), word_at(bytes, at + 4), word_at(bytes, at + 8),
                         word_at(bytes, at + 12)});
  }
  h.desktop = bytes.substr(kNextFixedBytes + std::size_t{rects} * 16, desktop);
  if (h.payload == Payload::kShared) {
    h.section = long_at(bytes, static_cast<std::size_t>(shared_at));
    h.section_bytes = long_at(bytes, static_cast<std::size_t>(shared_at) + 8);
    if (h.section_bytes < std::uint64_t{h.stride} * h.height) {
      return malformed("a section smaller than its frame");
    }
  }
  const std::uint64_t received = bytes.size() - header_bytes;
  if (h.width == 0 || h.height == 0 || h.stride / 4 < h.width ||
      std::uint64_t{h.stride} * h.height > 0xFFFFFFFFULL) {
    return malformed("stream frame header does not add up");
  }
  for (const Rect& r : h.changed) {
    if (!inside(r, h)) return malformed("a changed rectangle outside the frame");
  }
  if (received != h.payload_bytes || payload_size(h) != h.payload_bytes) {
    return malformed("stream payload of " + std::to_string(received) + " bytes, " +
                     std::to_string(payload_size(h)) + " announced");
  }
  Answer a;
  a.kind = AnswerKind::kNext;
  a.next = std::move(h);
  a.payload = {reinterpret_cast<const std::uint8_t*>(bytes.data()) + header_bytes,
               static_cast<std::size_t>(received)};
  return a;
}

}  // namespace

std::string encode_next_header(const NextHeader& h) {
  std::string out(kNextTag);
  const std::size_t header_bytes = kNextFixedBytes + h.changed.size() * 16 + h.desktop.size() +
                                   (h.payload == Payload::kShared ? 16 : 0);
  out.reserve(header_bytes);
  put_word(out, static_cast<std::uint32_t>(header_bytes));
  put_word(out, h.number);
  put_word(out, static_cast<std::uint32_t>(h.capture_ms));
  put_word(out, static_cast<std::uint32_t>(h.capture_ms >> 32));
  put_word(out, h.width);
  put_word(out, h.height);
  put_word(out, h.stride);
  put_word(out, static_cast<std::uint32_t>(h.payload));
  put_word(out, h.payload_bytes);
  put_word(out, static_cast<std::uint32_t>(h.changed.size()));
  put_word(out, static_cast<std::uint32_t>(h.desktop.size()));
  for (const Rect& r : h.changed) {
    for (const std::uint32_t v : {r.x, r.y, r.width, r.height}) put_word(out, v);
  }
  out += h.desktop;
  if (h.payload == Payload::kShared) {
    for (const std::uint64_t v : {h.section, h.section_bytes}) {
      put_word(out, static_cast<std::uint32_t>(v));
      put_word(out, static_cast<std::uint32_t>(v >> 32));
    }
  }
  return out;
}

std::uint64_t payload_size(const NextHeader& h) {
  if (h.payload == Payload::kShared) return 0;
  if (h.payload == Payload::kWhole) return std::uint64_t{h.stride} * h.height;
  std::uint64_t bytes = 0;
  for (const Rect& r : h.changed) bytes += std::uint64_t{r.width} * r.height * 4;
  return bytes;
}

bool apply_payload(std::vector<std::uint8_t>& pixels, const NextHeader& h,
                   std::span<const std::uint8_t> payload) {
  if (h.payload == Payload::kShared) return false;  // the pixels are in the section
  if (h.payload == Payload::kWhole) {
    pixels.assign(payload.begin(), payload.end());
    return true;
  }
  const std::size_t size = std::size_t{h.stride} * h.height;
  // Changed pixels over a copy of another size mend nothing, unless they are the whole frame.
  if (pixels.size() != size) {
    if (h.changed != whole_frame_rects(h)) return false;
    pixels.resize(size);
  }
  const std::uint8_t* from = payload.data();
  for (const Rect& r : h.changed) {
    const std::size_t row = std::size_t{r.width} * 4;
    for (std::uint32_t y = r.y; y < r.y + r.height; ++y, from += row) {
      std::copy(from, from + row, pixels.data() + std::size_t{y} * h.stride + std::size_t{r.x} * 4);
    }
  }
  return true;
}

std::string encode_frame_header(const FrameHeader& header) {
  std::string out(kFrameTag);
  out.reserve(kFrameHeaderBytes);
  put_word(out, header.width);
  put_word(out, header.height);
  put_word(out, header.stride);
  put_word(out, header.length);
  return out;
}

std::optional<std::uint64_t> announced_size(std::string_view head) {
  if (head.starts_with(kFrameTag) && head.size() >= kFrameHeaderBytes) {
    return kFrameHeaderBytes + std::uint64_t{word_at(head, 16)};
  }
  if (head.starts_with(kNextTag) && head.size() >= kNextFixedBytes) {
    return std::uint64_t{word_at(head, 4)} + word_at(head, 36);
  }
  return std::nullopt;
}

Answer read_answer(std::string_view bytes, bool asked_for_frame) {
  Answer a;
  if (bytes == kUnauthorizedResponse) {
    a.kind = AnswerKind::kUnauthorized;
  } else if (bytes == kNoFrameResponse) {
    a.kind = AnswerKind::kNoFrame;
  } else if (bytes == kNoNewFrameResponse) {
    a.kind = AnswerKind::kNoNewFrame;
  } else if (bytes.starts_with(kNextTag)) {
    return asked_for_frame ? read_next(bytes) : malformed("a frame where the status was asked for");
  } else if (bytes.starts_with(kFrameTag)) {
    return asked_for_frame ? read_frame(bytes)
                           : malformed("a frame where the status was asked for");
  } else if (bytes.starts_with(kErrorTag)) {
    return malformed("unknown error response");
  } else if (asked_for_frame) {
    return malformed(bytes.empty() ? "no response" : "no frame header");
  } else if (bytes.empty() || bytes.back() != '\n') {
    // The server always ends the status with a line end, even when it has none to send.
    return malformed(bytes.empty() ? "no response" : "status cut short");
  } else {
    a.kind = AnswerKind::kStatus;
    a.text = bytes;
  }
  return a;
}

}  // namespace tolm
