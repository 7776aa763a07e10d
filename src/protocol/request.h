// Portable. A request on the capture pipe: what a client writes and how the server reads it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tolm {

// A request is what one read of at most this many bytes returns.
inline constexpr std::size_t kMaxRequestBytes = 256;

// The token on the first line; a frame request adds FRAME on the second.
[[nodiscard]] std::string frame_request(std::string_view token);
[[nodiscard]] std::string status_request(std::string_view token);

// True when a line of the (decoded) request is "AUTH " or "auth " and `token`, blanks allowed
// around both. The comparison takes the same time wherever the first difference lies. An empty
// token authorizes nobody.
[[nodiscard]] bool is_authorized(std::string_view request, std::string_view token) noexcept;

// True when the request holds "FRAME" in any letter case, anywhere.
[[nodiscard]] bool wants_frame(std::string_view request) noexcept;

// A frame request that names the frame the client holds: a line "NEXT <number> <wait ms>", then
// the words it asks for, each after one space. A server that knows no such line answers the frame
// request as it always has.
struct StreamRequest {
  std::uint32_t after = 0;    // the number of the frame the client holds; 0 for none
  std::uint32_t wait_ms = 0;  // how long the server may wait for a newer one (it waits 1 s at most)
  bool changed_only = false;  // "CHANGED": only the pixels of the changed rectangles
  bool shared = false;        // "SHARED": the pixels in a section rather than in the answer
  friend bool operator==(const StreamRequest&, const StreamRequest&) = default;
};
inline constexpr std::uint32_t kMaxStreamWaitMs = 1000;

[[nodiscard]] std::string stream_request(std::string_view token, const StreamRequest& stream);

// The request's first line that begins "NEXT ", when it is one as above (numbers in decimal, at
// most 4294967295; words known or not); nothing otherwise, and the request is a plain one.
[[nodiscard]] std::optional<StreamRequest> read_stream_request(std::string_view request);

}  // namespace tolm
