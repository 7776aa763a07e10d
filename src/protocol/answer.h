// Portable. The capture pipe's answers: what the server writes and how a client reads them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tolm {

// Errors, byte for byte: a tag, one line of JSON, a line feed.
inline constexpr std::string_view kErrorTag = "RERR";
inline constexpr std::string_view kUnauthorizedResponse =
    "RERR{\"ok\":false,\"error\":\"unauthorized\"}\n";
inline constexpr std::string_view kNoFrameResponse = "RERR{\"ok\":false,\"error\":\"no frame\"}\n";
// A status answer when no status file could be written.
inline constexpr std::string_view kEmptyStatusResponse = "{}\n";

// A frame: "RFRA", then width, height, stride and pixel length as little-endian 32-bit words, then
// the pixels.
inline constexpr std::string_view kFrameTag = "RFRA";
inline constexpr std::size_t kFrameHeaderBytes = 20;

struct FrameHeader {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t stride = 0;  // bytes a row: width * 4
  std::uint32_t length = 0;  // pixel bytes: stride * height
};

// The 20 bytes that go before the pixels.
[[nodiscard]] std::string encode_frame_header(const FrameHeader& header);

// Pixels as the server sends them: `height` rows of `stride` bytes, top row first, each pixel
// blue, green, red, reserved. Points into the answer's bytes.
struct FrameView {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t stride = 0;
  std::span<const std::uint8_t> pixels;
};

enum class AnswerKind { kFrame, kStatus, kUnauthorized, kNoFrame, kMalformed };

struct Answer {
  AnswerKind kind = AnswerKind::kMalformed;
  FrameView frame;        // kFrame
  std::string_view text;  // kStatus: the status document
  std::string problem;    // kMalformed: what is wrong, for a person
};

// Tells the answers apart. A frame header must agree with the bytes that follow it, so a cut answer
// is found; a status document is only expected when no frame was asked for.
[[nodiscard]] Answer read_answer(std::string_view bytes, bool asked_for_frame);

}  // namespace tolm
