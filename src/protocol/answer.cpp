#include "protocol/answer.h"

namespace tolm {
namespace {

std::uint32_t word_at(std::string_view bytes, std::size_t at) {
  const auto b = [&](std::size_t i) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + i]));
  };
  return b(0) | b(1) << 8 | b(2) << 16 | b(3) << 24;
}

void put_word(std::string& out, std::uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) out += static_cast<char>((v >> shift) & 0xFF);
}

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

}  // namespace

std::string encode_frame_header(const FrameHeader& header) {
  std::string out(kFrameTag);
  out.reserve(kFrameHeaderBytes);
  put_word(out, header.width);
  put_word(out, header.height);
  put_word(out, header.stride);
  put_word(out, header.length);
  return out;
}

Answer read_answer(std::string_view bytes, bool asked_for_frame) {
  Answer a;
  if (bytes == kUnauthorizedResponse) {
    a.kind = AnswerKind::kUnauthorized;
  } else if (bytes == kNoFrameResponse) {
    a.kind = AnswerKind::kNoFrame;
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
