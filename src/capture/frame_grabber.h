// Windows only. One GDI picture of one desktop.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "capture/frame.h"
#include "capture/picture.h"

namespace tolm {

inline constexpr const char* kOpenDesktopFailed = "open desktop failed";
inline constexpr const char* kSetThreadDesktopFailed = "SetThreadDesktop failed";
inline constexpr const char* kBadMetrics = "bad metrics";
inline constexpr const char* kGetDcFailed = "GetDC failed";
inline constexpr const char* kBitmapFailed = "bitmap failed";
inline constexpr const char* kBlitFailed = "BitBlt/StretchBlt failed";
inline constexpr const char* kGetDiBitsFailed = "GetDIBits failed";
inline constexpr const char* kBlankFrame = "blank frame";

// Every system call the grab makes, so that a test can fail the ones Wine never fails and record
// what is released on each path. Production passes the Win32 functions themselves.
struct GrabSystem {
  decltype(&::OpenDesktopW) open_desktop;
  decltype(&::OpenInputDesktop) open_input_desktop;
  decltype(&::SetThreadDesktop) set_thread_desktop;
  decltype(&::CloseDesktop) close_desktop;
  decltype(&::GetSystemMetrics) get_system_metrics;
  decltype(&::EnumDisplayMonitors) enum_display_monitors;
  decltype(&::GetDC) get_dc;
  decltype(&::ReleaseDC) release_dc;
  decltype(&::CreateCompatibleDC) create_compatible_dc;
  decltype(&::CreateCompatibleBitmap) create_compatible_bitmap;
  decltype(&::SelectObject) select_object;
  decltype(&::SetStretchBltMode) set_stretch_blt_mode;
  decltype(&::BitBlt) bit_blt;
  decltype(&::StretchBlt) stretch_blt;
  decltype(&::GetDIBits) get_di_bits;
  decltype(&::DeleteObject) delete_object;
  decltype(&::DeleteDC) delete_dc;
};

[[nodiscard]] const GrabSystem& win32_grab_system();

// The record the monitor enumeration fills: the `wanted`-th monitor reported, counted from 0.
struct MonitorPick {
  std::uint64_t wanted = 0;
  std::uint64_t seen = 0;
  std::int32_t left = 0;
  std::int32_t top = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
  bool found = false;
};

class FrameGrabber {
 public:
  // `allocate`: where a picture goes when the memory a grab is given does not fit it.
  explicit FrameGrabber(const GrabSystem& system = win32_grab_system(),
                        AllocatePixels allocate = &own_pixels)
      : system_(system), allocate_(allocate) {}

  // Grabs the named desktop, or the input desktop when `desktop` is empty, from the monitor
  // `display_index` names (the primary screen when there is no such monitor), scaled to fit the
  // target. Leaves the calling thread attached to that desktop (its handle stays open until the
  // thread moves to another desktop or ends, see ThreadDesktop in the implementation). The
  // picture goes into `buffer` when it has the picture's size, into new memory otherwise.
  [[nodiscard]] GrabResult grab(const std::optional<std::string>& desktop,
                                std::uint32_t target_width, std::uint32_t target_height,
                                std::uint64_t display_index,
                                Pixels buffer = {}) const;

 private:
  // The part of the screen a grab copies.
  struct Area {
    int left = 0, top = 0, width = 0, height = 0;
  };
  // Attaches the calling thread to the desktop; nothing, or the failure's text.
  [[nodiscard]] const char* attach(const std::optional<std::string>& desktop) const;
  // The monitor's area, else the primary screen's; nothing when the system reports no size.
  [[nodiscard]] std::optional<Area> source(std::uint64_t display_index) const;
  // The area copied into a bitmap of `out`'s size and read back as 32-bit top-down pixels.
  [[nodiscard]] GrabResult copy(const Area& area, OutputSize out,
                                Pixels buffer) const;

  const GrabSystem& system_;
  AllocatePixels allocate_;
};

}  // namespace tolm
