// Portable. Which desktops a capture pass tries, in which order, and the names it reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tolm {

// The input desktop (no name) or a desktop of the window station by name.
struct DesktopCandidate {
  std::optional<std::string> name;

  // Two candidates with one key are tried once.
  [[nodiscard]] std::string_view key() const noexcept {
    return name ? std::string_view(*name) : std::string_view("__input__");
  }
  friend bool operator==(const DesktopCandidate&, const DesktopCandidate&) = default;
};

// The list from the bytes of capture.desktop (nothing when unreadable) and the names the
// window station reported, in their order.
[[nodiscard]] std::vector<DesktopCandidate> build_candidate_list(
    std::optional<std::string_view> remembered, std::span<const std::string> enumerated);

// A name as the enumeration hands it over, NUL-terminated, cut at 257 code units.
[[nodiscard]] std::string desktop_name_from_units(const char16_t* units);

// How many code units of the name buffer GetUserObjectInformationW filled, from the
// length in bytes it reported (with the terminator), at most 256.
[[nodiscard]] std::size_t name_units_from_needed(std::uint32_t needed_bytes) noexcept;

}  // namespace tolm
