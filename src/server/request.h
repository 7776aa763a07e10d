// The request a pipe client sends and the responses it gets back. Portable.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "capture/frame.h"

namespace tolm {

// A request is what one read of at most this many bytes returns.
inline constexpr std::size_t kMaxRequestBytes = 256;

inline constexpr std::string_view kUnauthorizedResponse =
    "RERR{\"ok\":false,\"error\":\"unauthorized\"}\n";
inline constexpr std::string_view kNoFrameResponse = "RERR{\"ok\":false,\"error\":\"no frame\"}\n";
inline constexpr std::string_view kEmptyStatusResponse = "{}\n";

// True when a line of the (decoded) request is "AUTH " or "auth " and `token`, blanks allowed
// around both. The comparison takes the same time wherever the first difference lies. An empty
// token authorizes nobody.
[[nodiscard]] bool is_authorized(std::string_view request, std::string_view token) noexcept;

// True when the request holds "FRAME" in any letter case, anywhere.
[[nodiscard]] bool wants_frame(std::string_view request) noexcept;

// What goes before the pixels in a frame response: "RFRA", width, height, stride and pixel
// length as little-endian 32-bit words.
inline constexpr std::size_t kFrameHeaderBytes = 20;
[[nodiscard]] std::string frame_header(const Frame& frame);

}  // namespace tolm
