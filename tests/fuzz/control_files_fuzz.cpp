// The control-file parsers on arbitrary bytes: results always within their bounds.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "protocol/control_files.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const tolm::CaptureTarget t = tolm::parse_capture_target(bytes);
  if (t.width < 640 || t.width > 2560 || t.height < 360 || t.height > 1440) std::abort();
  // Without an 'x' or 'X' no size but the default can come out.
  if (bytes.find_first_of("xX") == std::string_view::npos &&
      !(t == tolm::CaptureTarget{})) {
    std::abort();
  }
  const std::uint64_t index = tolm::parse_display_index(bytes);
  if (index != 0 && bytes.find_first_of("123456789") == std::string_view::npos) std::abort();
  return 0;
}
