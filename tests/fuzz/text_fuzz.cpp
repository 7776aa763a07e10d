// Properties of the text rules on arbitrary bytes.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::string decoded = tolm::decode_utf8_lossy(bytes);
  if (!tolm::is_valid_utf8(decoded)) std::abort();
  if (tolm::is_valid_utf8(bytes) && decoded != bytes) std::abort();
  if (tolm::utf16_to_utf8(tolm::utf8_to_utf16(bytes)) != decoded) std::abort();
  const std::string_view trimmed = tolm::trim_white_space(decoded);
  if (!tolm::is_valid_utf8(trimmed) || tolm::trim_white_space(trimmed) != trimmed) std::abort();
  // Reading the bytes as UTF-16 units must always give valid UTF-8.
  std::u16string units(size / 2, u'\0');
  for (std::size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
  }
  if (!tolm::is_valid_utf8(tolm::utf16_to_utf8(units))) std::abort();
  return 0;
}
