// Portable. A request on the capture pipe: what a client writes and how the server reads it.
#pragma once

#include <cstddef>
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

}  // namespace tolm
