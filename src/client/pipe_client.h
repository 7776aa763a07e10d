// Windows only. One request to the capture server and everything it sends back.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "protocol/control_files.h"
#include "base/locations.h"
#include "protocol/answer.h"

namespace tolm::client {

// The server's reply, or why there is none. `error` is empty on success; the bytes are then
// whatever arrived before the server closed its end, possibly nothing.
enum class Failure {
  kNone,
  kNoServer,
  kBusy,
  kTimeout,
  kUntrustedServer,
  kAccessDenied,  // this account may not open the pipe
  kTooLong,
  kIo
};

// The largest answer a server can give: a frame of the largest size the helper captures.
inline constexpr std::size_t kMaxResponseBytes =
    kFrameHeaderBytes + std::size_t{kMaxTargetWidth} * kMaxTargetHeight * 4;

struct Exchange {
  std::string bytes;
  std::string error;
  Failure failure = Failure::kNone;
  // Who served the pipe, once it was opened: the owner's SID (empty when it has none) and the
  // serving process's id (0 when the system does not tell).
  std::string server_owner;
  unsigned long server_process = 0;
};

// Opens the pipe (retrying while every instance is busy), checks that the pipe belongs to SYSTEM,
// Administrators or (unless this process is elevated) its account before anything is sent,
// writes `request` in one piece, reads until the server closes, but no more than
// `kMaxResponseBytes`. The whole exchange is bounded by `timeout_ms`; a request longer than the
// server reads is refused before anything is sent. Another pipe name is for measurements; `open`
// is CreateFileA unless a test records what it is asked (Wine enforces no impersonation level).
[[nodiscard]] Exchange exchange(std::string_view request, unsigned timeout_ms = 5000,
                                const char* pipe_name = kPipeName,
                                decltype(&::CreateFileA) open = &::CreateFileA);

}  // namespace tolm::client
