/* uiProgressBar: the common controls' progress bar, range 0 to 100. */
#include <stdlib.h>

#include "uipriv.h"

struct uiProgressBar {
  uiControl c;
  int marquee; /* showing the indeterminate animation */
  int value;   /* the value shown, 0 to 100 (while not marquee) */
  int error;   /* in its error state */
};

/* Height of a progress bar in dialog units, as the Windows layout
 * guidelines give it. */
enum { kBarHeightDlu = 14 };

/* Dialog units to pixels through the height of the message font (its
 * TEXTMETRIC height is the vertical dialog base unit, 8 units). */
static int bar_natural_height(uiControl *c) {
  int base = 0;
  NONCLIENTMETRICSW ncm = {0};
  ncm.cbSize = sizeof ncm;
  if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof ncm, &ncm, 0)) {
    HFONT font = CreateFontIndirectW(&ncm.lfMessageFont);
    HDC dc = GetDC(c->hwnd);
    if (font != NULL && dc != NULL) {
      HGDIOBJ old = SelectObject(dc, font);
      TEXTMETRICW tm;
      if (GetTextMetricsW(dc, &tm)) base = tm.tmHeight;
      SelectObject(dc, old);
    }
    if (dc != NULL) ReleaseDC(c->hwnd, dc);
    if (font != NULL) DeleteObject(font);
  }
  if (base <= 0) base = 16; /* Segoe UI 9 pt at 96 dpi */
  return MulDiv(kBarHeightDlu, base, 8);
}

uiProgressBar *uiNewProgressBar(void) {
  uiProgressBar *p = calloc(1, sizeof *p);
  if (p == NULL) abort();
  HWND hwnd =
      CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD | WS_VISIBLE, 0, 0, 0,
                      0, uipriv_parking_window(), NULL, uipriv_instance, NULL);
  uipriv_control_init(uiControl(p), hwnd, NULL);
  p->c.natural_height = bar_natural_height;
  SendMessageW(hwnd, PBM_SETRANGE32, 0, 100);
  SendMessageW(hwnd, PBM_SETPOS, 0, 0);
  return p;
}

static void set_marquee(uiProgressBar *p, int on) {
  HWND hwnd = p->c.hwnd;
  LONG_PTR style = GetWindowLongPtrW(hwnd, GWL_STYLE);
  SetWindowLongPtrW(hwnd, GWL_STYLE,
                    on ? style | PBS_MARQUEE : style & ~(LONG_PTR)PBS_MARQUEE);
  SendMessageW(hwnd, PBM_SETMARQUEE, on ? TRUE : FALSE, 0);
  p->marquee = on;
}

void uiProgressBarSetValue(uiProgressBar *p, int value) {
  if (value == -1) {
    if (!p->marquee) set_marquee(p, 1);
    return;
  }
  if (value < 0 || value > 100)
    uipriv_user_bug("Value %", value, " is out of range for uiProgressBars.");
  /* The same value again changes nothing: no message, no repaint (the
   * caller may set it on every tick). */
  if (!p->marquee && value == p->value) return;
  p->value = value;
  if (p->marquee) set_marquee(p, 0);
  HWND hwnd = p->c.hwnd;
  /* With visual styles the bar glides toward a higher value and would lag
   * behind the download; it jumps when the value goes down. So go one
   * past the value and back (at 100, through a range widened by one). */
  if (value == 100) {
    SendMessageW(hwnd, PBM_SETRANGE32, 0, 101);
    SendMessageW(hwnd, PBM_SETPOS, 101, 0);
    SendMessageW(hwnd, PBM_SETPOS, 100, 0);
    SendMessageW(hwnd, PBM_SETRANGE32, 0, 100);
  } else {
    SendMessageW(hwnd, PBM_SETPOS, (WPARAM)value + 1, 0);
    SendMessageW(hwnd, PBM_SETPOS, (WPARAM)value, 0);
  }
}

void uiProgressBarSetError(uiProgressBar *p, int error) {
  if ((error != 0) == p->error) return;
  p->error = error != 0;
  SendMessageW(p->c.hwnd, PBM_SETSTATE, error ? PBST_ERROR : PBST_NORMAL, 0);
}
