/* A bare Win32 window under Wine: a 300x169 popup window and a message
 * loop, the least a Windows program does before its window is shown. The
 * Windows benchmarks' reference for start-up and working set (Wine's own
 * share). The window is titled "Bare window" and closes itself after two
 * seconds. */
#include <windows.h>

static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam,
                                   LPARAM lparam) {
  switch (message) {
    case WM_TIMER:
      DestroyWindow(hwnd);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(hwnd, message, wparam, lparam);
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR command,
                    int show) {
  (void)previous, (void)command;
  WNDCLASSW window_class = {0};
  window_class.lpfnWndProc = WindowProc;
  window_class.hInstance = instance;
  window_class.hCursor = LoadCursorW(NULL, (LPCWSTR)IDC_ARROW);
  window_class.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
  window_class.lpszClassName = L"BareWindow";
  if (!RegisterClassW(&window_class)) return 1;
  HWND hwnd = CreateWindowExW(0, L"BareWindow", L"Bare window", WS_POPUP, 100,
                              100, 300, 169, NULL, NULL, instance, NULL);
  if (!hwnd) return 1;
  ShowWindow(hwnd, show);
  UpdateWindow(hwnd);
  SetTimer(hwnd, 1, 2000, NULL);
  MSG msg;
  while (GetMessageW(&msg, NULL, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return 0;
}
