#include "status/status_document.h"

#include "base/text.h"

#include <algorithm>

namespace tolm {

namespace {

// The readers of this file take the values as they stand, with no JSON escapes: a quote and the
// control characters are dropped from a desktop name, a quote is turned into an apostrophe in a
// note, and nothing else is changed.
std::string document(std::string_view desktop, bool secure, bool has_frame,
                     std::string_view backend, const std::string* note, std::uint32_t seq,
                     std::uint64_t ts_ms) {
  std::string out;
  out.reserve(200 + desktop.size() + (note != nullptr ? note->size() : 0));
  out += R"({"ok":true,"desktop":")";
  out += desktop;
  out += R"(","secureDesktop":)";
  out += secure ? "true" : "false";
  out += R"(,"helperFrames":)";
  out += has_frame ? "true" : "false";
  out += R"(,"driverLoaded":false,"driverCapture":false,"backend":")";
  out += backend;
  out += '"';
  if (note != nullptr) {
    out += R"(,"note":")";
    out += *note;
    out += '"';
  }
  out += R"(,"seq":)";
  out += std::to_string(seq);
  out += R"(,"ts":)";
  out += std::to_string(ts_ms);
  out += "}\n";
  return out;
}

std::string note_text(std::string_view note) {
  std::string text(note);
  std::replace(text.begin(), text.end(), '"', '\'');
  return text;
}

}  // namespace

bool is_secure_desktop(std::string_view desktop_name) noexcept {
  constexpr std::string_view kDefault = "default";
  if (desktop_name.empty()) return false;
  if (desktop_name.size() != kDefault.size()) return true;
  for (std::size_t i = 0; i < kDefault.size(); ++i) {
    if (ascii_lower(desktop_name[i]) != kDefault[i]) return true;
  }
  return false;
}

std::string format_worker_status(std::string_view desktop_name, bool has_frame,
                                 std::uint32_t seq, std::uint64_t ts_ms, std::string_view note) {
  std::string desktop = without_control_characters(desktop_name);
  desktop.erase(std::remove(desktop.begin(), desktop.end(), '"'), desktop.end());
  const std::string text = note_text(note);
  return document(desktop, is_secure_desktop(desktop_name), has_frame,
                  has_frame ? "bitblt" : "none", note.empty() ? nullptr : &text, seq, ts_ms);
}

std::string format_service_status(std::string_view note, std::uint64_t ts_ms) {
  const std::string text = note_text(note);
  return document("", false, false, "service", &text, 0, ts_ms);
}

}  // namespace tolm
