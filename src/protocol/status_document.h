// Portable. The one-line JSON status document, in its worker and service variants: how the helper
// writes it and how a reader takes it apart.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tolm {

// The worker status's note while another account holds the pipe's name, which it then does not
// serve.
inline constexpr std::string_view kPipeNameHeldNote = "pipe name held by another owner";

// Every member, in the order the document has them. String values hold no double quote and, but
// for a note, no control character: the readers take them as they stand, without JSON escapes.
struct StatusDocument {
  std::string desktop;
  bool secure = false;
  bool frames = false;
  bool driver_loaded = false;
  bool driver_capture = false;
  std::string backend;
  std::optional<std::string> note;  // the service's, or the worker's when something is wrong
  std::uint32_t seq = 0;
  std::uint64_t ts = 0;  // ms since 1970
  friend bool operator==(const StatusDocument&, const StatusDocument&) = default;
};

// What the worker variant reports, taken from the capture state between two passes.
struct StatusSnapshot {
  std::string desktop_name;
  bool has_frame = false;
  std::uint32_t seq = 0;
  std::string note;  // what keeps clients from the helper, when something does; else empty
};

// True unless the name is empty or, with ASCII letters lower-cased, is "default".
[[nodiscard]] bool is_secure_desktop(std::string_view desktop_name) noexcept;

// The worker variant: the desktop name without double quotes and control characters, the secure
// flag from the name as given, backend "bitblt" with a frame and "none" without.
[[nodiscard]] StatusDocument worker_status(std::string_view desktop_name, bool has_frame,
                                           std::uint32_t seq, std::uint64_t ts_ms,
                                           std::string_view note = {});
// The service variant: the note with every double quote turned into an apostrophe.
[[nodiscard]] StatusDocument service_status(std::string_view note, std::uint64_t ts_ms);

// The document and its line feed.
[[nodiscard]] std::string format_status(const StatusDocument& document);
[[nodiscard]] std::string format_worker_status(std::string_view desktop_name, bool has_frame,
                                               std::uint32_t seq, std::uint64_t ts_ms,
                                               std::string_view note = {});
[[nodiscard]] std::string format_service_status(std::string_view note, std::uint64_t ts_ms);

// The members of a document as the helper writes it, its line feed optional; nothing for anything
// else (another order, a missing member, a quote inside a string, a number out of range).
[[nodiscard]] std::optional<StatusDocument> parse_status(std::string_view text);

}  // namespace tolm
