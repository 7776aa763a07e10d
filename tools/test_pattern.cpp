// tolm-test-pattern.exe [ready-event-name]: a borderless top-most window over the whole primary
// screen, painted as a grid of coloured cells (test_pattern.h). Signals the named event once the
// first paint is done, then runs until it is terminated.
#include <windows.h>

#include <string>

#include "test_pattern.h"

namespace {

std::wstring g_ready_event;

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
      if (!g_ready_event.empty()) SetTimer(window, 1, 300, nullptr);
      return 0;
    case WM_TIMER:
      KillTimer(window, 1);
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
