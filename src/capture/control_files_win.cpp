#include <string>

#include "base/data_directory.h"
#include "base/text.h"
#include "capture/control_files_win.h"

namespace tolm {

CaptureTarget read_capture_target() {
  const auto bytes = read_data_file(kCaptureTargetFileName).bytes;
  return parse_capture_target(bytes ? std::optional<std::string_view>(*bytes) : std::nullopt);
}

std::uint64_t read_display_index() {
  const auto bytes = read_data_file(kDisplayIndexFileName).bytes;
  return parse_display_index(bytes ? std::optional<std::string_view>(*bytes) : std::nullopt);
}

void write_last_error(std::string_view text) {
  std::string content = without_control_characters(text);
  content += '\n';
  (void)write_data_file(kLastErrorFileName, content, false);
}

}  // namespace tolm
