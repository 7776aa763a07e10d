#include "protocol/request.h"

#include "base/text.h"

namespace tolm {

namespace {

// Every byte is looked at, so the time tells nothing about where a difference lies.
bool same_bytes(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  unsigned char merged = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    merged |= static_cast<unsigned char>(a[i] ^ b[i]);
  }
  return merged == 0;
}

bool line_authorizes(std::string_view line, std::string_view token) noexcept {
  line = trim_white_space(line);
  if (line.size() < 5) return false;
  const std::string_view keyword = line.substr(0, 5);
  if (keyword != "AUTH " && keyword != "auth ") return false;
  return same_bytes(trim_white_space(line.substr(5)), token);
}

}  // namespace

bool is_authorized(std::string_view request, std::string_view token) noexcept {
  if (token.empty()) return false;
  while (!request.empty()) {
    const std::size_t lf = request.find('\n');
    // A CR before the line feed is White_Space, trimmed with the rest.
    if (line_authorizes(request.substr(0, lf), token)) return true;
    if (lf == std::string_view::npos) break;
    request.remove_prefix(lf + 1);
  }
  return false;
}

bool wants_frame(std::string_view request) noexcept {
  constexpr std::string_view kWord = "frame";
  for (std::size_t i = 0; i + kWord.size() <= request.size(); ++i) {
    std::size_t j = 0;
    while (j < kWord.size() && ascii_lower(request[i + j]) == kWord[j]) ++j;
    if (j == kWord.size()) return true;
  }
  return false;
}

std::string frame_request(std::string_view token) { return status_request(token) + "FRAME\n"; }

std::string stream_request(std::string_view token, const StreamRequest& stream) {
  std::string request = frame_request(token) + "NEXT " + std::to_string(stream.after) + " " +
                        std::to_string(stream.wait_ms);
  if (stream.changed_only) request += " CHANGED";
  if (stream.shared) request += " SHARED";
  return request + "\n";
}

std::optional<StreamRequest> read_stream_request(std::string_view request) {
  for (std::string_view rest = request; !rest.empty();) {
    const std::size_t lf = rest.find('\n');
    std::string_view line = trim_white_space(rest.substr(0, lf));
    rest = lf == std::string_view::npos ? std::string_view() : rest.substr(lf + 1);
    if (!line.starts_with("NEXT ")) continue;
    line.remove_prefix(5);
    StreamRequest stream;
    unsigned long long value[2] = {};
    for (unsigned long long& v : value) {
      const std::size_t space = line.find(' ');
      if (!parse_unsigned(line.substr(0, space), 0xFFFFFFFFULL, v)) return std::nullopt;
      line = space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
    }
    stream.after = static_cast<std::uint32_t>(value[0]);
    stream.wait_ms = static_cast<std::uint32_t>(value[1]);
    while (!line.empty()) {
      const std::size_t space = line.find(' ');
      const std::string_view word = line.substr(0, space);
      stream.changed_only |= word == "CHANGED";
      stream.shared |= word == "SHARED";
      line = space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
    }
    return stream;
  }
  return std::nullopt;
}

std::string status_request(std::string_view token) { return "AUTH " + std::string(token) + "\n"; }

}  // namespace tolm
