// Portable. The one-line JSON status document, in its worker and service variants.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/locations.h"

namespace tolm {

// What the worker variant reports, taken from the capture state between two passes.
struct StatusSnapshot {
  std::string desktop_name;
  bool has_frame = false;
  std::uint32_t seq = 0;
  std::string note;  // what keeps clients from the helper, when something does; else empty
};

// True unless the name is empty or, with ASCII letters lower-cased, is "default".
[[nodiscard]] bool is_secure_desktop(std::string_view desktop_name) noexcept;

// The worker variant, with its line feed; a note, when there is one, where the service variant
// has its own.
[[nodiscard]] std::string format_worker_status(std::string_view desktop_name, bool has_frame,
                                               std::uint32_t seq, std::uint64_t ts_ms,
                                               std::string_view note = {});

// The service variant, with its line feed.
[[nodiscard]] std::string format_service_status(std::string_view note, std::uint64_t ts_ms);

}  // namespace tolm
