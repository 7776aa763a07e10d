// Windows only (wchar_t is 16 bits there). UTF-8 <-> wide strings at the Win32 boundary.
#pragma once

#include <string>
#include <string_view>

#include "base/text.h"

namespace tolm {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Win32 wide strings are UTF-16");

// NUL-terminated UTF-16 for a Win32 call (std::wstring keeps the terminator at c_str()).
[[nodiscard]] inline std::wstring to_wide(std::string_view utf8) {
  const std::u16string u16 = utf8_to_utf16(utf8);
  return std::wstring(u16.begin(), u16.end());
}

[[nodiscard]] inline std::string from_wide(std::wstring_view wide) {
  return utf16_to_utf8(std::u16string_view(reinterpret_cast<const char16_t*>(wide.data()),
                                           wide.size()));
}

}  // namespace tolm
