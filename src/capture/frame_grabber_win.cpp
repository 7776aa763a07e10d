#include "capture/frame_grabber.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "base/handles.h"
#include "base/win_text.h"
#include "capture/picture.h"

namespace tolm {
namespace {

// What the grab makes through its seam goes back through the seam's call for it, so that a test
// sees every release on every path. Elsewhere the owner's type picks the call (base/handles.h).
template <class Handle, class Release>
class Made {
 public:
  Made() = default;
  Made(Handle handle, Release release) noexcept : handle_(handle), release_(release) {}
  Made(Made&& other) noexcept
      : handle_(std::exchange(other.handle_, nullptr)), release_(other.release_) {}
  Made& operator=(Made&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, nullptr);
      release_ = other.release_;
    }
    return *this;
  }
  Made(const Made&) = delete;
  Made& operator=(const Made&) = delete;
  ~Made() { reset(); }

  [[nodiscard]] Handle get() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return handle_ != nullptr; }
  void reset() noexcept {
    if (handle_ != nullptr) release_(std::exchange(handle_, nullptr));
  }

 private:
  Handle handle_ = nullptr;
  Release release_{};
};

// ReleaseDC takes the window the DC came from: the screen's, none.
struct ReleaseScreenDc {
  decltype(&::ReleaseDC) call;
  void operator()(HDC dc) const { call(nullptr, dc); }
};

using MadeDesktop = Made<HDESK, decltype(&::CloseDesktop)>;

constexpr ACCESS_MASK kGrabDesktopAccess =
    DESKTOP_READOBJECTS | DESKTOP_WRITEOBJECTS | DESKTOP_SWITCHDESKTOP;  // 0x0181
constexpr DWORD kCaptureBlt = 0x40000000;

// CloseDesktop refuses (ERROR_BUSY) the handle of the desktop the calling thread is attached to,
// so closing it at the end of each grab would leak one handle per grab. Instead the handle the
// thread is attached to is kept here and closed as soon as the thread has moved to another one,
// or when the thread ends (after putting the thread back on its first desktop).
class ThreadDesktop {
 public:
  ThreadDesktop() = default;
  ThreadDesktop(const ThreadDesktop&) = delete;
  ThreadDesktop& operator=(const ThreadDesktop&) = delete;
  ~ThreadDesktop() {
    if (attached_ && first_ != nullptr && set_thread_desktop_(first_)) attached_.reset();
  }

  // Call before attaching: remembers the desktop the thread started on (not ours to close).
  void note_first_desktop() {
    if (first_ == nullptr) first_ = GetThreadDesktop(GetCurrentThreadId());
  }

  // The thread is now attached to `desktop`: the previous handle is free to close.
  void attached(MadeDesktop desktop, decltype(&::SetThreadDesktop) set_thread_desktop) {
    attached_ = std::move(desktop);
    set_thread_desktop_ = set_thread_desktop;
  }

 private:
  HDESK first_ = nullptr;
  MadeDesktop attached_;
  decltype(&::SetThreadDesktop) set_thread_desktop_ = &::SetThreadDesktop;
};

// One ThreadDesktop per thread, freed by the fiber-local-storage callback when the thread ends.
// (A C++ thread_local with a destructor is not used: MinGW's emulated TLS frees its storage before
// such destructors run.) Null only when the system has no FLS slot left; the grab then closes its
// handle at the end as it always did.
VOID WINAPI free_thread_desktop(PVOID p) { delete static_cast<ThreadDesktop*>(p); }

ThreadDesktop* this_thread_desktop() {
  static const DWORD slot = FlsAlloc(&free_thread_desktop);
  if (slot == FLS_OUT_OF_INDEXES) return nullptr;
  if (void* p = FlsGetValue(slot)) return static_cast<ThreadDesktop*>(p);
  auto* created = new ThreadDesktop;
  if (!FlsSetValue(slot, created)) {
    delete created;
    return nullptr;
  }
  return created;
}

BOOL CALLBACK pick_monitor(HMONITOR, HDC, LPRECT rect, LPARAM data) {
  auto& pick = *reinterpret_cast<MonitorPick*>(data);
  if (rect != nullptr && pick.seen == pick.wanted) {
    pick.left = rect->left;
    pick.top = rect->top;
    pick.width = rect->right - rect->left;
    pick.height = rect->bottom - rect->top;
    pick.found = true;
    return FALSE;
  }
  ++pick.seen;
  return TRUE;
}

GrabResult failure(const char* text) { return {std::nullopt, text}; }

}  // namespace

const GrabSystem& win32_grab_system() {
  static const GrabSystem system{
      &::OpenDesktopW,      &::OpenInputDesktop,   &::SetThreadDesktop,
      &::CloseDesktop,      &::GetSystemMetrics,   &::EnumDisplayMonitors,
      &::GetDC,             &::ReleaseDC,          &::CreateCompatibleDC,
      &::CreateCompatibleBitmap, &::SelectObject,  &::SetStretchBltMode,
      &::BitBlt,            &::StretchBlt,         &::GetDIBits,
      &::DeleteObject,      &::DeleteDC,
  };
  return system;
}

GrabResult FrameGrabber::grab(const std::optional<std::string>& desktop,
                              std::uint32_t target_width, std::uint32_t target_height,
                              std::uint64_t display_index,
                              Pixels buffer) const {
  if (const char* failed = attach(desktop); failed != nullptr) return failure(failed);
  const std::optional<Area> area = source(display_index);
  if (!area) return failure(kBadMetrics);
  GrabResult result =
      copy(*area, output_size(area->width, area->height, target_width, target_height),
           std::move(buffer));
  if (result.frame) result.frame->desktop = desktop ? *desktop : "Input";
  return result;
}

const char* FrameGrabber::attach(const std::optional<std::string>& desktop) const {
  const GrabSystem& sys = system_;
  MadeDesktop opened(
      desktop ? sys.open_desktop(to_wide(*desktop).c_str(), 0, FALSE, kGrabDesktopAccess)
              : sys.open_input_desktop(0, FALSE, kGrabDesktopAccess),
      sys.close_desktop);
  if (!opened) return kOpenDesktopFailed;

  ThreadDesktop* const keeper = this_thread_desktop();
  if (keeper != nullptr) keeper->note_first_desktop();
  if (!sys.set_thread_desktop(opened.get())) return kSetThreadDesktopFailed;
  // From here the handle is in use by this thread; it is released when the thread moves on.
  if (keeper != nullptr) keeper->attached(std::move(opened), sys.set_thread_desktop);
  return nullptr;
}

std::optional<FrameGrabber::Area> FrameGrabber::source(std::uint64_t display_index) const {
  MonitorPick pick;
  pick.wanted = display_index;
  system_.enum_display_monitors(nullptr, nullptr, &pick_monitor,
                                reinterpret_cast<LPARAM>(&pick));
  Area area{pick.left, pick.top, pick.width, pick.height};
  if (!pick.found || pick.width <= 0 || pick.height <= 0) {
    area = {0, 0, system_.get_system_metrics(SM_CXSCREEN),
            system_.get_system_metrics(SM_CYSCREEN)};
  }
  if (area.width <= 0 || area.height <= 0) return std::nullopt;
  return area;
}

GrabResult FrameGrabber::copy(const Area& area, OutputSize out,
                              Pixels buffer) const {
  const GrabSystem& sys = system_;
  // Declared in the reverse of their release order (bitmap, memory DC, screen DC), so that every
  // early return releases them in that order too.
  Made<HDC, ReleaseScreenDc> screen(sys.get_dc(nullptr), ReleaseScreenDc{sys.release_dc});
  if (!screen) return failure(kGetDcFailed);
  Made<HDC, decltype(&::DeleteDC)> memory(sys.create_compatible_dc(screen.get()), sys.delete_dc);
  Made<HBITMAP, decltype(&::DeleteObject)> bitmap(
      sys.create_compatible_bitmap(screen.get(), out.width, out.height), sys.delete_object);
  if (!memory || !bitmap) return failure(kBitmapFailed);

  sys.select_object(memory.get(), bitmap.get());  // the displaced object is not restored
  sys.set_stretch_blt_mode(memory.get(), COLORONCOLOR);

  const auto blit = [&](DWORD rop) {
    if (out.width == area.width && out.height == area.height) {
      return sys.bit_blt(memory.get(), 0, 0, area.width, area.height, screen.get(), area.left,
                         area.top, rop);
    }
    return sys.stretch_blt(memory.get(), 0, 0, out.width, out.height, screen.get(), area.left,
                           area.top, area.width, area.height, rop);
  };
  if (!blit(SRCCOPY | kCaptureBlt) && !blit(SRCCOPY)) return failure(kBlitFailed);

  const std::size_t stride = static_cast<std::size_t>(out.width) * 4;
  const std::size_t size = stride * static_cast<std::size_t>(out.height);
  Pixels pixels = std::move(buffer);
  if (pixels.size() != size) pixels = allocate_(size);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = out.width;
  info.bmiHeader.biHeight = -out.height;  // top row first
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  const int lines = sys.get_di_bits(memory.get(), bitmap.get(), 0,
                                    static_cast<UINT>(out.height), pixels.data(), &info,
                                    DIB_RGB_COLORS);
  bitmap.reset();
  memory.reset();
  screen.reset();
  if (lines == 0) return failure(kGetDiBitsFailed);
  // Rows a short copy left out stay black, as in new memory, not what an earlier frame put there.
  std::fill(pixels.begin() + static_cast<std::ptrdiff_t>(stride) * std::min(lines, out.height),
            pixels.end(), std::uint8_t{0});

  if (is_blank(pixels)) return failure(kBlankFrame);
  Frame frame;
  frame.pixels = std::move(pixels);
  frame.backend = "bitblt";
  frame.width = static_cast<std::uint32_t>(out.width);
  frame.height = static_cast<std::uint32_t>(out.height);
  frame.stride = static_cast<std::uint32_t>(stride);
  return {std::move(frame), {}};
}

}  // namespace tolm
