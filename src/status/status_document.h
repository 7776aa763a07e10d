// Portable. The one-line JSON status document, in its worker and service variants.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tolm {

// What the worker variant reports, taken from the capture state between two passes.
struct StatusSnapshot {
  std::string desktop_name;
  bool has_frame = false;
  std::uint32_t seq = 0;
};

// True unless the name is empty or, with ASCII letters lower-cased, is "default".
[[nodiscard]] bool is_secure_desktop(std::string_view desktop_name) noexcept;

// The worker variant, with its line feed.
[[nodiscard]] std::string format_worker_status(std::string_view desktop_name, bool has_frame,
                                               std::uint32_t seq, std::uint64_t ts_ms);

// The service variant, with its line feed.
[[nodiscard]] std::string format_service_status(std::string_view note, std::uint64_t ts_ms);

}  // namespace tolm
