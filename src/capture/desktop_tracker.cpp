#include "capture/desktop_tracker.h"

#include <algorithm>

#include "base/text.h"

namespace tolm {

namespace {

constexpr std::string_view kFixedDesktops[] = {"Winlogon", "Default", "Screen-saver",
                                               "Disconnect"};
constexpr std::size_t kMaxEnumeratedUnits = 257;
constexpr std::size_t kMaxNameUnits = 256;

bool has_key(const std::vector<DesktopCandidate>& list, std::string_view key) {
  return std::any_of(list.begin(), list.end(),
                     [key](const DesktopCandidate& c) { return c.key() == key; });
}

}  // namespace

std::vector<DesktopCandidate> build_candidate_list(std::optional<std::string_view> remembered,
                                                   std::span<const std::string> enumerated) {
  std::vector<DesktopCandidate> list{DesktopCandidate{}};
  // Every later entry goes in only when its key is new, which keeps the first of each key in
  // order; an enumerated "__input__" is dropped like a remembered one.
  const auto add = [&list](std::string_view name) {
    if (!has_key(list, name)) list.push_back(DesktopCandidate{std::string(name)});
  };
  if (remembered && is_valid_utf8(*remembered)) {
    const std::string_view name = trim_white_space(*remembered);
    if (!name.empty()) add(name);
  }
  for (const std::string_view name : kFixedDesktops) add(name);
  for (const std::string& name : enumerated) add(name);
  return list;
}

std::string desktop_name_from_units(const char16_t* units) {
  std::size_t n = 0;
  while (n < kMaxEnumeratedUnits && units[n] != u'\0') ++n;
  return utf16_to_utf8(std::u16string_view(units, n));
}

std::size_t name_units_from_needed(std::uint32_t needed_bytes) noexcept {
  std::size_t units = needed_bytes / 2;
  if (units >= 1) --units;
  return std::min(units, kMaxNameUnits);
}

}  // namespace tolm
