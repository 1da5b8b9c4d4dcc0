/* uiWindow: a top-level window holding at most one child control, whose
 * client area keeps the size it was made with. */
#include <stdlib.h>

#include "uipriv.h"

struct uiWindow {
  uiControl c;
  uiControl *child;
  int (*on_closing)(uiWindow *w, void *data);
  void *on_closing_data;
  int width; /* client area */
  int height;
  int margined;
  int borderless;
  int resizeable;
};

/* Space around the child of a margined window, in pixels. */
enum { kWindowMargin = 12 };

static int default_on_closing(uiWindow *w, void *data) {
  (void)w;
  (void)data;
  return 0;
}

static DWORD window_style(const uiWindow *w) {
  if (w->borderless) return WS_POPUP | WS_CLIPCHILDREN;
  DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX |
                WS_CLIPCHILDREN;
  if (w->resizeable) style |= WS_THICKFRAME | WS_MAXIMIZEBOX;
  return style;
}

/* Fills the client area with the child, inside the margin. */
static void layout(uiWindow *w) {
  if (w->child == NULL) return;
  RECT r;
  GetClientRect(w->c.hwnd, &r);
  int m = w->margined ? kWindowMargin : 0;
  int width = r.right - r.left - 2 * m;
  int height = r.bottom - r.top - 2 * m;
  MoveWindow(w->child->hwnd, m, m, width > 0 ? width : 0,
             height > 0 ? height : 0, TRUE);
}

/* Applies the style and sizes the frame so that the client area is
 * width x height; the position stays. */
static void apply_frame(uiWindow *w) {
  HWND hwnd = w->c.hwnd;
  DWORD style = window_style(w);
  DWORD visible = (DWORD)GetWindowLongPtrW(hwnd, GWL_STYLE) & WS_VISIBLE;
  SetWindowLongPtrW(hwnd, GWL_STYLE, (LONG_PTR)(style | visible));
  DWORD ex_style = (DWORD)GetWindowLongPtrW(hwnd, GWL_EXSTYLE);
  RECT r = {0, 0, w->width, w->height};
  AdjustWindowRectEx(&r, style, FALSE, ex_style);
  SetWindowPos(hwnd, NULL, 0, 0, r.right - r.left, r.bottom - r.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
}

static LRESULT CALLBACK window_proc(HWND hwnd, UINT msg, WPARAM wparam,
                                    LPARAM lparam) {
  uiWindow *w = (uiWindow *)uipriv_control_of(hwnd);
  if (w == NULL) return DefWindowProcW(hwnd, msg, wparam, lparam);
  switch (msg) {
    case WM_CLOSE:
      /* Alt+F4, the system menu and other programs' WM_CLOSE all land
       * here. The window is never destroyed behind the program's back. */
      if (w->on_closing(w, w->on_closing_data)) uiControlDestroy(uiControl(w));
      return 0;
    case WM_SIZE:
      /* Resizing by the user (a resizeable window) sets the size that a
       * later change of style keeps. */
      if (wparam != SIZE_MINIMIZED) {
        w->width = LOWORD(lparam);
        w->height = HIWORD(lparam);
      }
      layout(w);
      return 0;
    case WM_DPICHANGED: {
      /* Moved to a display of another scale: take the size and place the
       * system suggests, the content scaled alike (WM_SIZE follows). */
      const RECT *r = (const RECT *)lparam;
      SetWindowPos(hwnd, NULL, r->left, r->top, r->right - r->left,
                   r->bottom - r->top, SWP_NOZORDER | SWP_NOACTIVATE);
      return 0;
    }
    default:
      return DefWindowProcW(hwnd, msg, wparam, lparam);
  }
}

/* The program's icon (its icon resource 1) at `size` pixels, else the
 * system's generic one. */
static HICON program_icon(int size) {
  HICON icon = (HICON)LoadImageW(uipriv_instance, MAKEINTRESOURCEW(1),
                                 IMAGE_ICON, size, size, LR_DEFAULTCOLOR);
  return icon != NULL ? icon : LoadIconW(NULL, (LPCWSTR)IDI_APPLICATION);
}

int uipriv_register_window_class(void) {
  WNDCLASSEXW wc = {0};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = window_proc;
  wc.hInstance = uipriv_instance;
  wc.hCursor = LoadCursorW(NULL, (LPCWSTR)IDC_ARROW);
  /* Taskbar and Alt+Tab take the large one, the caption the small one. */
  wc.hIcon = program_icon(GetSystemMetrics(SM_CXICON));
  wc.hIconSm = program_icon(GetSystemMetrics(SM_CXSMICON));
  wc.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
  wc.lpszClassName = UIPRIV_WINDOW_CLASS;
  return RegisterClassExW(&wc) != 0;
}

static void window_destroy_children(uiControl *c) {
  uiWindow *w = (uiWindow *)c;
  if (w->child != NULL) {
    uiControl *child = w->child;
    w->child = NULL;
    uipriv_control_set_parent(child, NULL);
    uiControlDestroy(child);
  }
}

uiWindow *uiNewWindow(const char *title, int width, int height,
                      int hasMenubar) {
  (void)hasMenubar; /* menus are not part of this backend */
  uiWindow *w = calloc(1, sizeof *w);
  if (w == NULL) abort();
  w->on_closing = default_on_closing;
  w->width = width;
  w->height = height;
  w->resizeable = 1;
  WCHAR *wtitle = uipriv_to_utf16(title);
  HWND hwnd = CreateWindowExW(0, UIPRIV_WINDOW_CLASS, wtitle, window_style(w),
                              CW_USEDEFAULT, CW_USEDEFAULT, width, height, NULL,
                              NULL, uipriv_instance, NULL);
  free(wtitle);
  uipriv_control_init(uiControl(w), hwnd, window_destroy_children);
  apply_frame(w);
  return w;
}

void uiWindowOnClosing(uiWindow *w, int (*f)(uiWindow *w, void *data),
                       void *data) {
  w->on_closing = f;
  w->on_closing_data = data;
}

void uiWindowSetMargined(uiWindow *w, int margined) {
  w->margined = margined;
  layout(w);
}

void uiWindowSetBorderless(uiWindow *w, int borderless) {
  w->borderless = borderless != 0;
  apply_frame(w);
}

void uiWindowSetResizeable(uiWindow *w, int resizeable) {
  w->resizeable = resizeable != 0;
  apply_frame(w);
}

void uiWindowSetPosition(uiWindow *w, int x, int y) {
  SetWindowPos(w->c.hwnd, NULL, x, y, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void uiWindowSetChild(uiWindow *w, uiControl *child) {
  if (w->child != NULL) {
    uipriv_control_set_parent(w->child, NULL);
    w->child = NULL;
  }
  if (child != NULL) {
    uipriv_control_set_parent(child, uiControl(w));
    w->child = child;
    layout(w);
  }
}
