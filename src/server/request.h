// Portable. How the server reads a request and writes a frame's header.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "capture/frame.h"
#include "server/protocol.h"

namespace tolm {

// True when a line of the (decoded) request is "AUTH " or "auth " and `token`, blanks allowed
// around both. The comparison takes the same time wherever the first difference lies. An empty
// token authorizes nobody.
[[nodiscard]] bool is_authorized(std::string_view request, std::string_view token) noexcept;

// True when the request holds "FRAME" in any letter case, anywhere.
[[nodiscard]] bool wants_frame(std::string_view request) noexcept;

// What goes before the pixels in a frame response (see protocol.h).
[[nodiscard]] std::string frame_header(const Frame& frame);

}  // namespace tolm
