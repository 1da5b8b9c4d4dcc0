/* uiArea: a child window that hands painting, mouse and key events to a
 * uiAreaHandler. Painting goes through an off-screen bitmap, so that the
 * background and what the handler draws reach the screen at once. */
#include <stdlib.h>
#include <windowsx.h>

#include "uipriv.h"

struct uiArea {
  uiControl c;
  uiStatusText *status; /* laid over the bottom, or NULL */
  uiAreaHandler *ah;
  uint64_t held; /* mouse buttons 1 to 64 currently down */
  int tracking;  /* TrackMouseEvent asked for WM_MOUSELEAVE */
};

static uiModifiers current_modifiers(void) {
  uiModifiers m = 0;
  if (GetKeyState(VK_CONTROL) < 0) m |= uiModifierCtrl;
  if (GetKeyState(VK_MENU) < 0) m |= uiModifierAlt;
  if (GetKeyState(VK_SHIFT) < 0) m |= uiModifierShift;
  if (GetKeyState(VK_LWIN) < 0 || GetKeyState(VK_RWIN) < 0)
    m |= uiModifierSuper;
  return m;
}

static void paint(uiArea *a) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(a->c.hwnd, &ps);
  if (dc == NULL) return;
  RECT client;
  GetClientRect(a->c.hwnd, &client);
  int width = client.right, height = client.bottom;
  RECT clip = ps.rcPaint;
  HDC mem = width > 0 && height > 0 ? CreateCompatibleDC(dc) : NULL;
  HBITMAP bitmap =
      mem != NULL ? CreateCompatibleBitmap(dc, width, height) : NULL;
  if (bitmap != NULL) {
    HGDIOBJ old = SelectObject(mem, bitmap);
    FillRect(mem, &clip, GetSysColorBrush(COLOR_BTNFACE));
    uiDrawContext context = {mem};
    uiAreaDrawParams dp = {
        .Context = &context,
        .AreaWidth = width,
        .AreaHeight = height,
        .ClipX = clip.left,
        .ClipY = clip.top,
        .ClipWidth = clip.right - clip.left,
        .ClipHeight = clip.bottom - clip.top,
    };
    a->ah->Draw(a->ah, a, &dp);
    BitBlt(dc, clip.left, clip.top, clip.right - clip.left,
           clip.bottom - clip.top, mem, clip.left, clip.top, SRCCOPY);
    SelectObject(mem, old);
    DeleteObject(bitmap);
  } else {
    /* Out of GDI resources (or no size): draw straight onto the screen. */
    uiDrawContext context = {dc};
    uiAreaDrawParams dp = {&context,
                           width,
                           height,
                           clip.left,
                           clip.top,
                           clip.right - clip.left,
                           clip.bottom - clip.top};
    if (width > 0 && height > 0) a->ah->Draw(a->ah, a, &dp);
  }
  if (mem != NULL) DeleteDC(mem);
  EndPaint(a->c.hwnd, &ps);
}

static void fill_mouse(uiArea *a, LPARAM lparam, uiAreaMouseEvent *me) {
  RECT client;
  GetClientRect(a->c.hwnd, &client);
  me->X = GET_X_LPARAM(lparam);
  me->Y = GET_Y_LPARAM(lparam);
  me->AreaWidth = client.right;
  me->AreaHeight = client.bottom;
  me->Down = 0;
  me->Up = 0;
  me->Count = 0;
  me->Modifiers = current_modifiers();
  me->Held1To64 = a->held;
}

/* Button number (1 left, 2 middle, 3 right, 4 and 5 the X buttons) of a
 * button message, and whether it is a press; 0 for other messages. */
static int button_of(UINT msg, WPARAM wparam, int *down) {
  *down = msg == WM_LBUTTONDOWN || msg == WM_MBUTTONDOWN ||
          msg == WM_RBUTTONDOWN || msg == WM_XBUTTONDOWN;
  switch (msg) {
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
      return 1;
    case WM_MBUTTONDOWN:
    case WM_MBUTTONUP:
      return 2;
    case WM_RBUTTONDOWN:
    case WM_RBUTTONUP:
      return 3;
    case WM_XBUTTONDOWN:
    case WM_XBUTTONUP:
      return GET_XBUTTON_WPARAM(wparam) == XBUTTON1 ? 4 : 5;
    default:
      return 0;
  }
}

static void on_button(uiArea *a, int button, int down, LPARAM lparam) {
  uint64_t bit = (uint64_t)1 << (button - 1);
  uiAreaMouseEvent me;
  fill_mouse(a, lparam, &me);
  if (down) {
    SetFocus(a->c.hwnd);
    if (a->held == 0) SetCapture(a->c.hwnd);
    me.Down = button;
    me.Count = 1;
    a->held |= bit;
  } else {
    me.Up = button;
    a->held &= ~bit;
    me.Held1To64 = a->held;
    if (a->held == 0 && GetCapture() == a->c.hwnd) ReleaseCapture();
  }
  a->ah->MouseEvent(a->ah, a, &me);
}

static void on_motion(uiArea *a, LPARAM lparam) {
  if (!a->tracking) {
    TRACKMOUSEEVENT tme = {sizeof tme, TME_LEAVE, a->c.hwnd, 0};
    if (TrackMouseEvent(&tme)) a->tracking = 1;
    a->ah->MouseCrossed(a->ah, a, 0);
  }
  uiAreaMouseEvent me;
  fill_mouse(a, lparam, &me);
  a->ah->MouseEvent(a->ah, a, &me);
}

static uiExtKey to_ext_key(WPARAM vk) {
  switch (vk) {
    case VK_ESCAPE:
      return uiExtKeyEscape;
    case VK_INSERT:
      return uiExtKeyInsert;
    case VK_DELETE:
      return uiExtKeyDelete;
    case VK_HOME:
      return uiExtKeyHome;
    case VK_END:
      return uiExtKeyEnd;
    case VK_PRIOR:
      return uiExtKeyPageUp;
    case VK_NEXT:
      return uiExtKeyPageDown;
    case VK_UP:
      return uiExtKeyUp;
    case VK_DOWN:
      return uiExtKeyDown;
    case VK_LEFT:
      return uiExtKeyLeft;
    case VK_RIGHT:
      return uiExtKeyRight;
    default:
      return 0;
  }
}

static uiModifiers modifier_key(WPARAM vk) {
  switch (vk) {
    case VK_CONTROL:
      return uiModifierCtrl;
    case VK_MENU:
      return uiModifierAlt;
    case VK_SHIFT:
      return uiModifierShift;
    case VK_LWIN:
    case VK_RWIN:
      return uiModifierSuper;
    default:
      return 0;
  }
}

/* Returns 1 when the handler took the key. */
static int on_key(uiArea *a, WPARAM vk, int up) {
  uiAreaKeyEvent ke = {0};
  ke.Up = up;
  ke.Modifiers = current_modifiers();
  ke.ExtKey = to_ext_key(vk);
  ke.Modifier = modifier_key(vk);
  if (ke.ExtKey == 0 && ke.Modifier == 0) {
    /* The unshifted character of the key, as GTK reports the lower-case
     * key value. */
    UINT ch = MapVirtualKeyW((UINT)vk, MAPVK_VK_TO_CHAR) & 0x7FFFFFFF;
    if (ch >= 'A' && ch <= 'Z') ch += 'a' - 'A';
    if (ch == 0 || ch > 0x7f) return 0;
    ke.Key = (char)ch;
  }
  return a->ah->KeyEvent(a->ah, a, &ke) != 0;
}

static LRESULT CALLBACK area_proc(HWND hwnd, UINT msg, WPARAM wparam,
                                  LPARAM lparam) {
  uiArea *a = (uiArea *)uipriv_control_of(hwnd);
  if (a == NULL) return DefWindowProcW(hwnd, msg, wparam, lparam);
  int button, down;
  switch (msg) {
    case WM_PAINT:
      paint(a);
      return 0;
    case WM_ERASEBKGND:
      return 1; /* the paint fills the background itself */
    case WM_SIZE:
      if (a->status != NULL) uipriv_status_text_layout(a->status);
      return 0;
    case WM_MOUSEMOVE:
      on_motion(a, lparam);
      return 0;
    case WM_MOUSELEAVE:
      a->tracking = 0;
      a->ah->MouseCrossed(a->ah, a, 1);
      return 0;
    case WM_CAPTURECHANGED:
      if (a->held != 0 && (HWND)lparam != hwnd) {
        a->held = 0;
        a->ah->DragBroken(a->ah, a);
      }
      return 0;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
    case WM_MBUTTONDOWN:
    case WM_MBUTTONUP:
    case WM_RBUTTONDOWN:
    case WM_RBUTTONUP:
    case WM_XBUTTONDOWN:
    case WM_XBUTTONUP:
      button = button_of(msg, wparam, &down);
      on_button(a, button, down, lparam);
      return msg == WM_XBUTTONDOWN || msg == WM_XBUTTONUP ? TRUE : 0;
    case WM_SYSKEYDOWN:
      /* Alt+F4 belongs to the window, as the window manager's shortcut
       * does on other systems. */
      if (wparam == VK_F4) break;
      /* fall through */
    case WM_KEYDOWN:
    case WM_KEYUP:
    case WM_SYSKEYUP:
      if (on_key(a, wparam, msg == WM_KEYUP || msg == WM_SYSKEYUP)) return 0;
      break;
    default:
      break;
  }
  return DefWindowProcW(hwnd, msg, wparam, lparam);
}

int uipriv_register_area_class(void) {
  WNDCLASSW wc = {0};
  wc.lpfnWndProc = area_proc;
  wc.hInstance = uipriv_instance;
  wc.hCursor = LoadCursorW(NULL, (LPCWSTR)IDC_ARROW);
  wc.lpszClassName = UIPRIV_AREA_CLASS;
  return RegisterClassW(&wc) != 0;
}

static void area_destroy_children(uiControl *c) {
  uiArea *a = (uiArea *)c;
  if (a->status != NULL) {
    uiControl *status = uiControl(a->status);
    a->status = NULL;
    uipriv_control_set_parent(status, NULL);
    uiControlDestroy(status);
  }
}

void uipriv_area_set_status(uiArea *a, uiStatusText *status) {
  if (a->status != NULL)
    uipriv_user_bug("A uiArea can hold only one uiStatusText.", 0, "");
  a->status = status;
  uipriv_control_set_parent(uiControl(status), uiControl(a));
  uipriv_status_text_layout(status);
}

uiArea *uiNewArea(uiAreaHandler *ah) {
  uiArea *a = calloc(1, sizeof *a);
  if (a == NULL) abort();
  HWND hwnd = CreateWindowExW(
      0, UIPRIV_AREA_CLASS, L"",
      WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_CLIPCHILDREN, 0, 0, 0, 0,
      uipriv_parking_window(), NULL, uipriv_instance, NULL);
  uipriv_control_init(uiControl(a), hwnd, area_destroy_children);
  a->ah = ah;
  return a;
}
