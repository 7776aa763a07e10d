// Portable. The capture pipe's answers: what the server writes and how a client reads them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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

// The answer to a stream request (request.h) when no frame newer than the one named came within
// the wait.
inline constexpr std::string_view kNoNewFrameResponse =
    "RERR{\"ok\":false,\"error\":\"no new frame\"}\n";

// The answer to a stream request: "RNXT", the size of the header, then the fields below in this
// order, then the payload. Later versions may add fields before the payload; the size of the
// header says where it starts.
inline constexpr std::string_view kNextTag = "RNXT";
inline constexpr std::size_t kNextFixedBytes = 48;  // up to the rectangles

struct Rect {
  std::uint32_t x = 0, y = 0, width = 0, height = 0;
  friend bool operator==(const Rect&, const Rect&) = default;
};

enum class Payload : std::uint32_t {
  kWhole = 0,    // height rows of stride bytes, as in a frame answer
  kChanged = 1,  // for each changed rectangle in turn, its rows of width * 4 bytes
  kShared = 2,   // none: the pixels are in a section whose handle the header gives
};

struct NextHeader {
  std::uint32_t number = 0;       // the frame's number, as the status's "seq" counts it
  std::uint64_t capture_ms = 0;   // when it was grabbed, ms since 1970 (the status's clock)
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t stride = 0;       // width * 4
  Payload payload = Payload::kWhole;
  std::uint32_t payload_bytes = 0;
  // What changed since the frame the request named, in rows from the top, not overlapping; the
  // whole frame when that frame is unknown, too old, or of another size.
  std::vector<Rect> changed;
  std::string desktop;  // the desktop the frame came from
  // kShared: a handle of the client's own to a section that holds the frame (height rows of
  // stride bytes from its start), with read access only, and the section's size. After the
  // desktop's name, only in such an answer.
  std::uint64_t section = 0;
  std::uint64_t section_bytes = 0;
  friend bool operator==(const NextHeader&, const NextHeader&) = default;
};

// Everything before the payload.
[[nodiscard]] std::string encode_next_header(const NextHeader& header);
// The payload bytes a header of this size, payload kind and region announces.
[[nodiscard]] std::uint64_t payload_size(const NextHeader& header);

enum class AnswerKind { kFrame, kNext, kStatus, kUnauthorized, kNoFrame, kNoNewFrame, kMalformed };

struct Answer {
  AnswerKind kind = AnswerKind::kMalformed;
  FrameView frame;                       // kFrame
  NextHeader next;                       // kNext
  std::span<const std::uint8_t> payload;  // kNext: points into the answer's bytes
  std::string_view text;                 // kStatus: the status document
  std::string problem;                   // kMalformed: what is wrong, for a person
};

// The size of the whole answer that begins with `head`, when its header is there to say it (a frame
// or a next frame); nothing otherwise. A reader may make room for it at once.
[[nodiscard]] std::optional<std::uint64_t> announced_size(std::string_view head);

// Tells the answers apart. A frame header must agree with the bytes that follow it, so a cut answer
// is found; a status document is only expected when no frame was asked for.
[[nodiscard]] Answer read_answer(std::string_view bytes, bool asked_for_frame);

// Brings `pixels` (the client's copy of the frame before, stride * height bytes) up to the frame
// of a kNext answer. False when it cannot: changed pixels over a copy of another size.
[[nodiscard]] bool apply_payload(std::vector<std::uint8_t>& pixels, const NextHeader& header,
                                 std::span<const std::uint8_t> payload);

}  // namespace tolm
