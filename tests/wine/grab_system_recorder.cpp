#include "grab_system_recorder.h"

#include <cstdio>

namespace tolm::testing {
namespace {

bool fails(const char* name) { return recorder().failing.count(name) != 0; }

template <class Make>
auto made(const char* name, Make make) {
  return fails(name) ? nullptr : make();
}

BOOL released(const std::string& name, BOOL ok) {
  recorder().releases.push_back(ok ? name : name + " failed");
  return ok;
}

void note(std::string entry, std::initializer_list<int> values, DWORD code) {
  for (const int v : values) entry += ' ' + std::to_string(v);
  char hex[16];
  std::snprintf(hex, sizeof hex, " %#lx", static_cast<unsigned long>(code));
  recorder().log.push_back(entry + hex);
}

bool copy_fails(DWORD rop) { return fails(rop & CAPTUREBLT ? "CaptureBlt" : "PlainBlt"); }

}  // namespace

Recorder& recorder() {
  static Recorder r;
  return r;
}

const GrabSystem& recording_grab_system() {
  static const GrabSystem system{
      .open_desktop =
          [](LPCWSTR name, DWORD flags, BOOL inherit, ACCESS_MASK access) {
            note("OpenDesktopW", {}, access);
            return made("OpenDesktopW",
                        [&] { return ::OpenDesktopW(name, flags, inherit, access); });
          },
      .open_input_desktop =
          [](DWORD flags, BOOL inherit, ACCESS_MASK access) {
            note("OpenInputDesktop", {}, access);
            return made("OpenInputDesktop",
                        [&] { return ::OpenInputDesktop(flags, inherit, access); });
          },
      .set_thread_desktop = [](HDESK d) -> BOOL {
        return !fails("SetThreadDesktop") && ::SetThreadDesktop(d);
      },
      .close_desktop = [](HDESK d) { return released("CloseDesktop", ::CloseDesktop(d)); },
      .get_system_metrics = [](int i) { return fails("metrics") ? 0 : ::GetSystemMetrics(i); },
      .enum_display_monitors =
          [](HDC dc, LPCRECT clip, MONITORENUMPROC proc, LPARAM data) {
            if (fails("metrics")) return TRUE;
            if (recorder().monitors.empty()) return ::EnumDisplayMonitors(dc, clip, proc, data);
            for (RECT r : recorder().monitors) {
              if (!proc(nullptr, nullptr, &r, data)) break;
            }
            return TRUE;
          },
      .get_dc = [](HWND w) { return made("GetDC", [&] { return ::GetDC(w); }); },
      .release_dc = [](HWND w, HDC dc) { return released("ReleaseDC", ::ReleaseDC(w, dc)); },
      .create_compatible_dc =
          [](HDC dc) {
            return made("CreateCompatibleDC", [&] { return ::CreateCompatibleDC(dc); });
          },
      .create_compatible_bitmap =
          [](HDC dc, int w, int h) {
            return made("CreateCompatibleBitmap",
                        [&] { return ::CreateCompatibleBitmap(dc, w, h); });
          },
      .select_object = &::SelectObject,
      .set_stretch_blt_mode =
          [](HDC dc, int mode) {
            note("SetStretchBltMode", {}, static_cast<DWORD>(mode));
            return ::SetStretchBltMode(dc, mode);
          },
      .bit_blt = [](HDC dst, int x, int y, int w, int h, HDC src, int sx, int sy,
                    DWORD rop) -> BOOL {
        note("BitBlt", {x, y, w, h, sx, sy}, rop);
        return !copy_fails(rop) && ::BitBlt(dst, x, y, w, h, src, sx, sy, rop);
      },
      .stretch_blt = [](HDC dst, int x, int y, int w, int h, HDC src, int sx, int sy, int sw,
                        int sh, DWORD rop) -> BOOL {
        note("StretchBlt", {x, y, w, h, sx, sy, sw, sh}, rop);
        return !copy_fails(rop) && ::StretchBlt(dst, x, y, w, h, src, sx, sy, sw, sh, rop);
      },
      .get_di_bits =
          [](HDC dc, HBITMAP b, UINT start, UINT lines, LPVOID bits, LPBITMAPINFO info,
             UINT usage) {
            if (fails("GetDIBits")) return 0;
            return ::GetDIBits(dc, b, start, fails("GetDIBits half") ? lines / 2 : lines, bits,
                               info, usage);
          },
      .delete_object = [](HGDIOBJ o) { return released("DeleteObject", ::DeleteObject(o)); },
      .delete_dc = [](HDC dc) { return released("DeleteDC", ::DeleteDC(dc)); }};
  return system;
}

}  // namespace tolm::testing
