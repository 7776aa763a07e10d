// Windows only. What `tolm-capture-client check` looks at, and how. It only reads: it writes no
// file, changes no setting, never goes through the helper's own judgement of the data directory
// (which would move things), and sends the token only to a pipe of a trusted owner.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "client/check.h"

namespace tolm::check {

// TolmCaptureHelper as the service manager shows it to this account.
[[nodiscard]] ServiceFacts query_service();
// The image path of a process; nothing when this account may not see it.
[[nodiscard]] std::optional<std::string> image_of_process(std::uint32_t process_id);

// What cannot be produced under Wine comes in here: an account that may not query the service, a
// foreign server's image.
struct CheckCalls {
  ServiceFacts (*query_service)() = &check::query_service;
  std::optional<std::string> (*image_of)(std::uint32_t) = &image_of_process;
};

struct CheckOptions {
  unsigned seconds = 3;
  std::optional<std::string> token;
  // Called about once a second with the seconds left.
  void (*progress)(unsigned seconds_left) = nullptr;
};

// Watches the status files (every 20 ms) and asks for frames (back to back) for `seconds`, and
// looks at the service, the pipe, the data directory and its files.
[[nodiscard]] Observations observe(const CheckOptions& options, const CheckCalls& calls = {});

}  // namespace tolm::check
