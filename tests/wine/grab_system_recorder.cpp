#include "grab_system_recorder.h"

namespace tolm::testing {
namespace {

std::uintptr_t id(const void* h) { return reinterpret_cast<std::uintptr_t>(h); }

template <class H>
H note(const char* name, H handle, std::vector<long long> args = {}) {
  recorder().calls.push_back({name, id(handle), std::move(args), handle != nullptr});
  return handle;
}

BOOL note_result(const char* name, const void* handle, BOOL result,
                 std::vector<long long> args = {}) {
  recorder().calls.push_back({name, id(handle), std::move(args), result});
  return result;
}

HDESK WINAPI open_desktop(LPCWSTR name, DWORD flags, BOOL inherit, ACCESS_MASK access) {
  return note("OpenDesktopW", ::OpenDesktopW(name, flags, inherit, access),
              {static_cast<long long>(flags), inherit, static_cast<long long>(access)});
}
HDESK WINAPI open_input_desktop(DWORD flags, BOOL inherit, ACCESS_MASK access) {
  return note("OpenInputDesktop", ::OpenInputDesktop(flags, inherit, access),
              {static_cast<long long>(flags), inherit, static_cast<long long>(access)});
}
BOOL WINAPI set_thread_desktop(HDESK desktop) {
  const BOOL ok = recorder().faults.set_thread_desktop ? FALSE : ::SetThreadDesktop(desktop);
  return note_result("SetThreadDesktop", desktop, ok);
}
BOOL WINAPI close_desktop(HDESK desktop) {
  return note_result("CloseDesktop", desktop, ::CloseDesktop(desktop),
                     {static_cast<long long>(GetLastError())});
}
int WINAPI get_system_metrics(int index) {
  const int value = recorder().faults.zero_metrics ? 0 : ::GetSystemMetrics(index);
  recorder().calls.push_back({"GetSystemMetrics", 0, {index, value}});
  return value;
}
BOOL WINAPI enum_display_monitors(HDC dc, LPCRECT clip, MONITORENUMPROC proc, LPARAM data) {
  recorder().calls.push_back({"EnumDisplayMonitors", 0, {}});
  if (recorder().faults.monitors.empty()) return ::EnumDisplayMonitors(dc, clip, proc, data);
  for (RECT r : recorder().faults.monitors) {
    if (!proc(nullptr, nullptr, &r, data)) break;
  }
  return TRUE;
}
HDC WINAPI get_dc(HWND window) {
  return note("GetDC", recorder().faults.get_dc ? nullptr : ::GetDC(window));
}
int WINAPI release_dc(HWND window, HDC dc) {
  return note_result("ReleaseDC", dc, ::ReleaseDC(window, dc), {id(window) == 0 ? 0 : 1});
}
HDC WINAPI create_compatible_dc(HDC dc) {
  return note("CreateCompatibleDC", recorder().faults.create_dc ? nullptr : ::CreateCompatibleDC(dc));
}
HBITMAP WINAPI create_compatible_bitmap(HDC dc, int w, int h) {
  return note("CreateCompatibleBitmap",
              recorder().faults.create_bitmap ? nullptr : ::CreateCompatibleBitmap(dc, w, h),
              {w, h});
}
HGDIOBJ WINAPI select_object(HDC dc, HGDIOBJ object) {
  recorder().calls.push_back({"SelectObject", id(object), {}});
  return ::SelectObject(dc, object);
}
int WINAPI set_stretch_blt_mode(HDC dc, int mode) {
  recorder().calls.push_back({"SetStretchBltMode", id(dc), {mode}});
  return ::SetStretchBltMode(dc, mode);
}
bool blit_fails(DWORD rop) {
  const Faults& f = recorder().faults;
  return (rop & 0x40000000) ? f.blit_with_captureblt : f.blit_plain;
}
BOOL WINAPI bit_blt(HDC dst, int x, int y, int w, int h, HDC src, int sx, int sy, DWORD rop) {
  const BOOL ok = blit_fails(rop) ? FALSE : ::BitBlt(dst, x, y, w, h, src, sx, sy, rop);
  return note_result("BitBlt", nullptr, ok, {x, y, w, h, sx, sy, static_cast<long long>(rop)});
}
BOOL WINAPI stretch_blt(HDC dst, int x, int y, int w, int h, HDC src, int sx, int sy, int sw,
                        int sh, DWORD rop) {
  const BOOL ok =
      blit_fails(rop) ? FALSE : ::StretchBlt(dst, x, y, w, h, src, sx, sy, sw, sh, rop);
  return note_result("StretchBlt", nullptr, ok,
                     {x, y, w, h, sx, sy, sw, sh, static_cast<long long>(rop)});
}
int WINAPI get_di_bits(HDC dc, HBITMAP bitmap, UINT start, UINT lines, LPVOID bits,
                       LPBITMAPINFO info, UINT usage) {
  const BITMAPINFOHEADER h = info->bmiHeader;  // as given: GetDIBits fills in biSizeImage
  const int got = recorder().faults.get_di_bits
                      ? 0
                      : ::GetDIBits(dc, bitmap, start, lines, bits, info, usage);
  recorder().calls.push_back(
      {"GetDIBits", id(bitmap),
       {start, lines, usage, static_cast<long long>(h.biSize), h.biWidth, h.biHeight, h.biPlanes,
        h.biBitCount, static_cast<long long>(h.biCompression),
        static_cast<long long>(h.biSizeImage), h.biXPelsPerMeter, h.biYPelsPerMeter,
        static_cast<long long>(h.biClrUsed), static_cast<long long>(h.biClrImportant)},
       got != 0});
  return got;
}
BOOL WINAPI delete_object(HGDIOBJ object) {
  return note_result("DeleteObject", object, ::DeleteObject(object));
}
BOOL WINAPI delete_dc(HDC dc) { return note_result("DeleteDC", dc, ::DeleteDC(dc)); }

}  // namespace

Recorder& recorder() {
  static Recorder r;
  return r;
}

std::vector<std::string> Recorder::names() const {
  std::vector<std::string> out;
  for (const Call& c : calls) out.push_back(c.name);
  return out;
}

std::vector<std::string> Recorder::releases() const {
  std::vector<std::string> out;
  for (const Call& c : calls) {
    if (c.name == "CloseDesktop" || c.name == "ReleaseDC" || c.name == "DeleteDC" ||
        c.name == "DeleteObject") {
      out.push_back(c.name);
    }
  }
  return out;
}

std::vector<Call> Recorder::named(const std::string& name) const {
  std::vector<Call> out;
  for (const Call& c : calls) {
    if (c.name == name) out.push_back(c);
  }
  return out;
}

const GrabSystem& recording_grab_system() {
  static const GrabSystem system{
      &open_desktop, &open_input_desktop, &set_thread_desktop, &close_desktop,
      &get_system_metrics, &enum_display_monitors, &get_dc, &release_dc,
      &create_compatible_dc, &create_compatible_bitmap, &select_object, &set_stretch_blt_mode,
      &bit_blt, &stretch_blt, &get_di_bits, &delete_object, &delete_dc,
  };
  return system;
}

}  // namespace tolm::testing
