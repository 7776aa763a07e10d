// Portable. What both ends of the capture pipe share: the pipe's name, the token file, the
// request limit, the fixed answers and the frame header's layout. Clients include this and
// nothing else of the server.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "base/locations.h"

namespace tolm {

inline constexpr char kPipeName[] = "\\\\.\\pipe\\tolm-capture";

// A token made by the helper has this many hex digits; a token file must hold at least as many.
inline constexpr std::size_t kMinTokenDigits = 64;

// The token in the bytes of capture.auth: the whole file valid UTF-8, and what remains after
// trimming White_Space at both ends at least 64 ASCII hex digits of either case. Returns that
// trimmed text unchanged, or nothing when the file is not a token.
[[nodiscard]] std::optional<std::string> accept_token_file(std::string_view bytes);

// A request is what one read of at most this many bytes returns.
inline constexpr std::size_t kMaxRequestBytes = 256;

inline constexpr std::string_view kUnauthorizedResponse =
    "RERR{\"ok\":false,\"error\":\"unauthorized\"}\n";
inline constexpr std::string_view kNoFrameResponse = "RERR{\"ok\":false,\"error\":\"no frame\"}\n";
inline constexpr std::string_view kEmptyStatusResponse = "{}\n";

// A frame response: "RFRA", then width, height, stride and pixel length as little-endian 32-bit
// words, then the pixels.
inline constexpr std::string_view kFrameMagic = "RFRA";
inline constexpr std::size_t kFrameHeaderBytes = 20;

}  // namespace tolm
