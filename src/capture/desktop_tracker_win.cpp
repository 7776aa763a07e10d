#include <windows.h>

#include "base/data_directory.h"
#include "base/handles.h"
#include "base/text.h"
#include "capture/desktop_tracker_win.h"

namespace tolm {

namespace {

constexpr char kFallbackName[] = "Default";

BOOL CALLBACK collect_desktop(LPWSTR name, LPARAM context) {
  if (name != nullptr) {
    reinterpret_cast<std::vector<std::string>*>(context)->push_back(
        desktop_name_from_units(reinterpret_cast<const char16_t*>(name)));
  }
  return TRUE;
}

// The UOI_NAME of a desktop, or nothing when the call fails.
std::optional<std::string> object_name(HDESK desktop) {
  char16_t buffer[256] = {};
  DWORD needed = 0;
  if (!GetUserObjectInformationW(desktop, UOI_NAME, buffer, sizeof buffer, &needed)) {
    return std::nullopt;
  }
  const std::u16string_view units(buffer, name_units_from_needed(needed));
  return utf16_to_utf8(units.substr(0, units.find(u'\0')));
}

}  // namespace

DesktopTracker::DesktopTracker() : station_(GetProcessWindowStation()) {}

std::vector<DesktopCandidate> DesktopTracker::candidate_desktops() const {
  const std::optional<std::string> remembered = read_data_file(kDesktopFileName).bytes;
  std::vector<std::string> enumerated;
  if (station_ != nullptr) {
    // What was collected counts even when the enumeration reports a failure.
    (void)EnumDesktopsW(station_, &collect_desktop, reinterpret_cast<LPARAM>(&enumerated));
  }
  return build_candidate_list(remembered, enumerated);
}

std::string DesktopTracker::input_desktop_name() const {
  std::optional<std::string> name;
  if (UniqueDesktop input(OpenInputDesktop(0, FALSE, DESKTOP_READOBJECTS)); input) {
    name = object_name(input.get());
  } else if (HDESK own = GetThreadDesktop(GetCurrentThreadId()); own != nullptr) {
    name = object_name(own);  // the thread's desktop is not ours to close
  }
  return name ? *std::move(name) : std::string(kFallbackName);
}

void DesktopTracker::remember_desktop(std::string_view name) const {
  (void)write_data_file(kDesktopFileName, without_control_characters(name), true);
}

}  // namespace tolm
