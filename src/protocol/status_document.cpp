#include "protocol/status_document.h"

#include <algorithm>

#include "base/text.h"

namespace tolm {
namespace {

const char* boolean(bool value) { return value ? "true" : "false"; }

// Takes the document apart from the front, in the writer's order.
class Reader {
 public:
  explicit Reader(std::string_view text) : rest_(text) {}

  bool literal(std::string_view expected) {
    if (!rest_.starts_with(expected)) return false;
    rest_.remove_prefix(expected.size());
    return true;
  }
  bool member(std::string_view key) { return literal("\"" + std::string(key) + "\":"); }
  bool boolean(bool& out) {
    out = rest_.starts_with("true");
    return literal(out ? "true" : "false");
  }
  bool string(std::string& out) {
    if (!literal("\"")) return false;
    const std::size_t end = rest_.find('"');
    if (end == std::string_view::npos) return false;
    out = rest_.substr(0, end);
    rest_.remove_prefix(end + 1);
    return true;
  }
  template <class Number>
  bool number(Number& out, unsigned long long max) {
    const std::size_t end = std::min(rest_.find_first_not_of("0123456789"), rest_.size());
    unsigned long long value = 0;
    // One digit at least, and no leading zero: the writer never makes one.
    if (end == 0 || (end > 1 && rest_[0] == '0') ||
        !parse_unsigned(rest_.substr(0, end), max, value)) {
      return false;
    }
    out = static_cast<Number>(value);
    rest_.remove_prefix(end);
    return true;
  }
  [[nodiscard]] bool at_end() const { return rest_.empty() || rest_ == "\n"; }

 private:
  std::string_view rest_;
};

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

StatusDocument worker_status(std::string_view desktop_name, bool has_frame, std::uint32_t seq,
                             std::uint64_t ts_ms, std::string_view note) {
  StatusDocument d;
  d.desktop = without_control_characters(desktop_name);
  d.desktop.erase(std::remove(d.desktop.begin(), d.desktop.end(), '"'), d.desktop.end());
  d.secure = is_secure_desktop(desktop_name);
  d.frames = has_frame;
  d.backend = has_frame ? "bitblt" : "none";
  if (!note.empty()) d.note = service_status(note, 0).note;
  d.seq = seq;
  d.ts = ts_ms;
  return d;
}

StatusDocument service_status(std::string_view note, std::uint64_t ts_ms) {
  StatusDocument d;
  d.backend = "service";
  d.note = std::string(note);
  std::replace(d.note->begin(), d.note->end(), '"', '\'');
  d.ts = ts_ms;
  return d;
}

std::string format_status(const StatusDocument& d) {
  std::string out;
  out.reserve(200 + d.desktop.size() + (d.note ? d.note->size() : 0));
  out += R"({"ok":true,"desktop":")" + d.desktop;
  out += R"(","secureDesktop":)";
  out += boolean(d.secure);
  out += R"(,"helperFrames":)";
  out += boolean(d.frames);
  out += R"(,"driverLoaded":)";
  out += boolean(d.driver_loaded);
  out += R"(,"driverCapture":)";
  out += boolean(d.driver_capture);
  out += R"(,"backend":")" + d.backend + '"';
  if (d.note) out += R"(,"note":")" + *d.note + '"';
  out += R"(,"seq":)" + std::to_string(d.seq);
  out += R"(,"ts":)" + std::to_string(d.ts);
  out += "}\n";
  return out;
}

std::string format_worker_status(std::string_view desktop_name, bool has_frame,
                                 std::uint32_t seq, std::uint64_t ts_ms, std::string_view note) {
  return format_status(worker_status(desktop_name, has_frame, seq, ts_ms, note));
}

std::string format_service_status(std::string_view note, std::uint64_t ts_ms) {
  return format_status(service_status(note, ts_ms));
}

std::optional<StatusDocument> parse_status(std::string_view text) {
  Reader r(text);
  StatusDocument d;
  if (!r.literal(R"({"ok":true,)") || !r.member("desktop") || !r.string(d.desktop) ||
      !r.literal(",") || !r.member("secureDesktop") || !r.boolean(d.secure) || !r.literal(",") ||
      !r.member("helperFrames") || !r.boolean(d.frames) || !r.literal(",") ||
      !r.member("driverLoaded") || !r.boolean(d.driver_loaded) || !r.literal(",") ||
      !r.member("driverCapture") || !r.boolean(d.driver_capture) || !r.literal(",") ||
      !r.member("backend") || !r.string(d.backend) || !r.literal(",")) {
    return std::nullopt;
  }
  if (r.member("note")) {
    if (!r.string(d.note.emplace()) || !r.literal(",")) return std::nullopt;
  }
  if (!r.member("seq") || !r.number(d.seq, 0xFFFFFFFFULL) || !r.literal(",") ||
      !r.member("ts") || !r.number(d.ts, ~0ULL) || !r.literal("}") || !r.at_end()) {
    return std::nullopt;
  }
  return d;
}

}  // namespace tolm
