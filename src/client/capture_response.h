// Portable. What a client sends to the capture server and how it reads the answer.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tolm::client {

// The token on the first line; a frame request adds FRAME on the second.
[[nodiscard]] std::string frame_request(std::string_view token);
[[nodiscard]] std::string status_request(std::string_view token);

// Pixels as the server sends them: `height` rows of `stride` bytes, top row first, each pixel
// blue, green, red, reserved. Points into the response bytes.
struct FrameView {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t stride = 0;
  std::span<const std::uint8_t> pixels;
};

enum class Kind { kFrame, kStatus, kUnauthorized, kNoFrame, kMalformed };

struct Response {
  Kind kind = Kind::kMalformed;
  FrameView frame;        // kFrame
  std::string_view text;  // kStatus: the status document
  std::string problem;    // kMalformed: what is wrong, for a person
};

// Tells the server's answers apart. A frame header must agree with the bytes that follow it, so a
// cut response is found; a status document is only expected when no frame was asked for.
[[nodiscard]] Response read_response(std::string_view bytes, bool asked_for_frame);

// A 24-bit, bottom-up BMP file of the frame, as every image viewer opens.
[[nodiscard]] std::string encode_bmp(const FrameView& frame);

}  // namespace tolm::client
