/* uiStatusText: a STATIC control, child of the area, along the area's
 * bottom edge. It keeps the Static class (screen readers read its window
 * text as a static text) and paints itself: light text on a dark band. */
#include <stdlib.h>
#include <wchar.h>

#include "uipriv.h"

struct uiStatusText {
  uiControl c;
  HFONT font;
  int font_pixels;
};

/* Space around the text inside the band, in units of the font's height
 * divided by 12 (a 12-pixel font gets 4 pixels above and below). */
enum { kPadTop = 4, kPadSide = 8 };
static const COLORREF kBandColour = RGB(24, 24, 24);
static const COLORREF kTextColour = RGB(242, 242, 242);
static const UINT kTextFormat = DT_CENTER | DT_WORDBREAK | DT_NOPREFIX;

/* The Static class's own window procedure, which the subclass hands the
 * rest of the messages to. The same for every STATIC of the process. */
static WNDPROC static_proc;

/* Faces that have Chinese, the system's own first; on Wine the fonts of
 * the host's fontconfig are seen under their family names. */
static const WCHAR *const kFaces[] = {
    L"Microsoft YaHei UI",    L"Microsoft YaHei",
    L"Microsoft JhengHei UI", L"SimSun",
    L"WenQuanYi Micro Hei",   L"Noto Sans CJK SC",
    L"Droid Sans Fallback"};

static int CALLBACK on_face(const LOGFONTW *lf, const TEXTMETRICW *tm,
                            DWORD type, LPARAM found) {
  (void)lf;
  (void)tm;
  (void)type;
  *(int *)found = 1;
  return 0;
}

static int face_exists(HDC dc, const WCHAR *face) {
  LOGFONTW lf = {0};
  lf.lfCharSet = DEFAULT_CHARSET;
  lstrcpynW(lf.lfFaceName, face, LF_FACESIZE);
  int found = 0;
  EnumFontFamiliesExW(dc, &lf, on_face, (LPARAM)&found, 0);
  return found;
}

/* The first face of kFaces that the system has, else the message font's. */
static HFONT make_font(int pixels) {
  LOGFONTW lf = {0};
  NONCLIENTMETRICSW ncm = {0};
  ncm.cbSize = sizeof ncm;
  if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof ncm, &ncm, 0))
    lf = ncm.lfMessageFont;
  HDC dc = GetDC(NULL);
  for (size_t i = 0; dc != NULL && i < sizeof kFaces / sizeof kFaces[0]; i++) {
    if (face_exists(dc, kFaces[i])) {
      lstrcpynW(lf.lfFaceName, kFaces[i], LF_FACESIZE);
      break;
    }
  }
  if (dc != NULL) ReleaseDC(NULL, dc);
  lf.lfHeight = -pixels;
  lf.lfWidth = 0;
  lf.lfWeight = FW_NORMAL;
  lf.lfItalic = FALSE;
  lf.lfCharSet = DEFAULT_CHARSET;
  lf.lfQuality = CLEARTYPE_QUALITY;
  return CreateFontIndirectW(&lf);
}

/* The control's text in malloc'd memory. */
static WCHAR *text_of(HWND hwnd) {
  int n = GetWindowTextLengthW(hwnd);
  WCHAR *text = malloc(((size_t)n + 1) * sizeof *text);
  if (text == NULL) abort();
  text[0] = L'\0';
  GetWindowTextW(hwnd, text, n + 1);
  return text;
}

static int pad_top(const uiStatusText *s) {
  return s->font_pixels * kPadTop / 12;
}
static int pad_side(const uiStatusText *s) {
  return s->font_pixels * kPadSide / 12;
}

/* Height of the text wrapped at `width` pixels. */
static int text_height(uiStatusText *s, int width) {
  HWND hwnd = s->c.hwnd;
  HDC dc = GetDC(hwnd);
  if (dc == NULL) return s->font_pixels;
  HGDIOBJ old = SelectObject(dc, s->font);
  WCHAR *text = text_of(hwnd);
  RECT r = {0, 0, width > 1 ? width : 1, 0};
  int height = DrawTextW(dc, text[0] != L'\0' ? text : L" ", -1, &r,
                         kTextFormat | DT_CALCRECT);
  free(text);
  SelectObject(dc, old);
  ReleaseDC(hwnd, dc);
  return height > 0 ? height : s->font_pixels;
}

static void paint(uiStatusText *s) {
  HWND hwnd = s->c.hwnd;
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(hwnd, &ps);
  RECT r;
  GetClientRect(hwnd, &r);
  HBRUSH band = CreateSolidBrush(kBandColour);
  FillRect(dc, &r, band);
  DeleteObject(band);
  HGDIOBJ old = SelectObject(dc, s->font);
  SetTextColor(dc, kTextColour);
  SetBkMode(dc, TRANSPARENT);
  InflateRect(&r, -pad_side(s), 0);
  r.top += pad_top(s);
  WCHAR *text = text_of(hwnd);
  DrawTextW(dc, text, -1, &r, kTextFormat);
  free(text);
  SelectObject(dc, old);
  EndPaint(hwnd, &ps);
}

static LRESULT CALLBACK status_proc(HWND hwnd, UINT msg, WPARAM wparam,
                                    LPARAM lparam) {
  uiStatusText *s = (uiStatusText *)uipriv_control_of(hwnd);
  if (s != NULL) {
    switch (msg) {
      case WM_PAINT:
        paint(s);
        return 0;
      case WM_ERASEBKGND:
        return 1; /* the paint fills the band */
      default:
        break;
    }
  }
  return CallWindowProcW(static_proc, hwnd, msg, wparam, lparam);
}

void uipriv_status_text_layout(uiStatusText *s) {
  if (s->c.parent == NULL) return;
  RECT r;
  GetClientRect(s->c.parent->hwnd, &r);
  int width = r.right - r.left;
  int height = r.bottom - r.top;
  int band = text_height(s, width - 2 * pad_side(s)) + 2 * pad_top(s);
  if (band > height) band = height;
  MoveWindow(s->c.hwnd, 0, height - band, width, band, TRUE);
}

static void status_destroy_children(uiControl *c) {
  uiStatusText *s = (uiStatusText *)c;
  if (s->font != NULL) DeleteObject(s->font);
  s->font = NULL;
}

uiStatusText *uiNewStatusText(uiArea *over, int font_pixels) {
  uiStatusText *s = calloc(1, sizeof *s);
  if (s == NULL) abort();
  /* Hidden until it has text. */
  HWND hwnd = CreateWindowExW(
      0, L"STATIC", L"", WS_CHILD | SS_CENTER | SS_NOPREFIX, 0, 0, 0, 0,
      uipriv_parking_window(), NULL, uipriv_instance, NULL);
  uipriv_control_init(uiControl(s), hwnd, status_destroy_children);
  s->font_pixels = font_pixels > 0 ? font_pixels : 12;
  s->font = make_font(s->font_pixels);
  /* The control's own font too, for whoever asks it (WM_GETFONT). */
  SendMessageW(hwnd, WM_SETFONT, (WPARAM)s->font, FALSE);
  WNDPROC previous =
      (WNDPROC)SetWindowLongPtrW(hwnd, GWLP_WNDPROC, (LONG_PTR)status_proc);
  if (static_proc == NULL) static_proc = previous;
  uipriv_area_set_status(over, s);
  return s;
}

void uiStatusTextSetText(uiStatusText *s, const char *text) {
  WCHAR *wtext = uipriv_to_utf16(text);
  WCHAR *shown = text_of(s->c.hwnd);
  /* The same text again changes nothing (the caller may set it on every
   * tick): no layout, no repaint. */
  int same = wcscmp(wtext, shown) == 0;
  free(shown);
  if (same) {
    free(wtext);
    return;
  }
  SetWindowTextW(s->c.hwnd, wtext);
  free(wtext);
  uipriv_status_text_layout(s);
  InvalidateRect(s->c.hwnd, NULL, TRUE);
  ShowWindow(s->c.hwnd, text[0] != '\0' ? SW_SHOWNA : SW_HIDE);
}

char *uiStatusTextText(uiStatusText *s) {
  WCHAR *text = text_of(s->c.hwnd);
  char *out = uipriv_to_utf8(text);
  free(text);
  return out;
}
