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

std::string status_request(std::string_view token) { return "AUTH " + std::string(token) + "\n"; }

}  // namespace tolm
