// tolm-test-pattern.exe [ready-event-name [--changing MS]]: a borderless top-most window over the
// whole primary screen, painted as a grid of coloured cells (test_pattern.h). Signals the named
// event once the first paint is done, then runs until it is terminated. With --changing, the
// square in the top left corner (test_pattern.h) takes another colour every MS milliseconds, so
// that no two grabs look alike; the cells' centres stay as they are.
#include <windows.h>

#include <cwchar>
#include <string>

#include "test_pattern.h"

namespace {

std::wstring g_ready_event;
UINT g_changing_ms = 0;
constexpr UINT_PTR kReadyTimer = 1;
constexpr UINT_PTR kChangeTimer = 2;

void change(HWND window) {
  static unsigned tick = 0;
  ++tick;
  HDC dc = GetDC(window);
  HBRUSH brush = CreateSolidBrush(RGB(tick * 37 & 0xFF, tick * 91 & 0xFF, tick * 53 & 0xFF));
  const RECT square{0, 0, tolm::test_pattern::kChangingSquare, tolm::test_pattern::kChangingSquare};
  FillRect(dc, &square, brush);
  DeleteObject(brush);
  ReleaseDC(window, dc);
  GdiFlush();
}

void paint(HWND window) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(window, &ps);
  RECT client;
  GetClientRect(window, &client);
  using namespace tolm::test_pattern;
  for (int row = 0; row < kRows; ++row) {
    for (int column = 0; column < kColumns; ++column) {
      const Rgb c = cell_colour(column, row);
      HBRUSH brush = CreateSolidBrush(RGB(c.red, c.green, c.blue));
      const RECT cell{client.right * column / kColumns, client.bottom * row / kRows,
                      client.right * (column + 1) / kColumns, client.bottom * (row + 1) / kRows};
      FillRect(dc, &cell, brush);
      DeleteObject(brush);
    }
  }
  EndPaint(window, &ps);
  GdiFlush();
}

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM w, LPARAM l) {
  switch (message) {
    case WM_PAINT:
      paint(window);
      // Give the display a moment to show the paint before anyone looks.
      if (!g_ready_event.empty()) SetTimer(window, kReadyTimer, 300, nullptr);
      return 0;
    case WM_TIMER:
      if (w == kChangeTimer) {
        change(window);
        return 0;
      }
      KillTimer(window, kReadyTimer);
      if (g_changing_ms != 0) SetTimer(window, kChangeTimer, g_changing_ms, nullptr);
      if (HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, g_ready_event.c_str())) {
        SetEvent(ready);
        CloseHandle(ready);
      }
      g_ready_event.clear();
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window, message, w, l);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc > 1) g_ready_event = argv[1];
  if (argc > 3 && std::wstring(argv[2]) == L"--changing") {
    g_changing_ms = static_cast<UINT>(std::wcstoul(argv[3], nullptr, 10));
  }
  WNDCLASSW wc{};
  wc.lpfnWndProc = window_proc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"TolmTestPattern";
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  RegisterClassW(&wc);
  HWND window = CreateWindowExW(WS_EX_TOPMOST, wc.lpszClassName, L"tolm test pattern", WS_POPUP,
                                0, 0, GetSystemMetrics(SM_CXSCREEN),
                                GetSystemMetrics(SM_CYSCREEN), nullptr, nullptr, wc.hInstance,
                                nullptr);
  if (window == nullptr) return 1;
  ShowWindow(window, SW_SHOW);
  UpdateWindow(window);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return 0;
}
