/* Internals shared by the Win32 backend's controls. */
#ifndef TALVORO_UI_WIN32_UIPRIV_H_
#define TALVORO_UI_WIN32_UIPRIV_H_

#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#include <windows.h>
/* windows.h first: the common controls' header needs its types. */
#include <commctrl.h>

#include "ui/libui/ui.h"

/* Every control starts with this header. The control owns hwnd until it is
 * destroyed; hwnd's GWLP_USERDATA points back at the control. */
struct uiControl {
  HWND hwnd;
  uiControl *parent;
  /* Destroys the control's children and releases its own resources except
   * the window and the struct itself. May be NULL. */
  void (*destroy_children)(uiControl *c);
  /* The height the control wants in a box, in pixels. NULL means 0. */
  int (*natural_height)(uiControl *c);
  /* Places the children again after one was shown or hidden. May be NULL
   * (a control without children). */
  void (*relayout)(uiControl *c);
};

struct uiDrawContext {
  HDC dc;
};

/* Window classes registered by uiInit(). */
#define UIPRIV_WINDOW_CLASS L"TalvoroWindow"
#define UIPRIV_CONTAINER_CLASS L"TalvoroContainer"
#define UIPRIV_AREA_CLASS L"TalvoroArea"

/* The program's module, set by uiInit(). */
extern HINSTANCE uipriv_instance;

/* The hidden window that holds every control that is in no window (a fresh
 * control, or one taken out of its parent). Exists from uiInit() to
 * uiUninit(). */
HWND uipriv_parking_window(void);

/* Registers the class of each kind of window. Return 0 with the error in
 * GetLastError() on failure. */
int uipriv_register_window_class(void);
int uipriv_register_container_class(void);
int uipriv_register_area_class(void);

/* Sets up the common header for a fresh control whose window is hwnd. */
void uipriv_control_init(uiControl *c, HWND hwnd,
                         void (*destroy_children)(uiControl *c));
/* Gives c to parent (hwnd becomes a child of parent's window), or with
 * parent NULL takes it out of its parent again (back to the parking window,
 * so that its owner can destroy it or put it elsewhere). */
void uipriv_control_set_parent(uiControl *c, uiControl *parent);
/* The control's natural height (0 without a natural_height hook). */
int uipriv_control_natural_height(uiControl *c);
/* Whether c's own visibility flag is set, whatever its ancestors' are. */
int uipriv_control_visible(uiControl *c);

/* The control behind a window made by this backend, or NULL. */
uiControl *uipriv_control_of(HWND hwnd);

/* UTF-8 to a malloc'd NUL-terminated UTF-16 string; ill-formed sequences
 * become U+FFFD. Aborts when out of memory. */
WCHAR *uipriv_to_utf16(const char *text);

/* UTF-16 to malloc'd NUL-terminated UTF-8; unpaired surrogates become
 * U+FFFD. Aborts when out of memory. */
char *uipriv_to_utf8(const WCHAR *text);

/* Lays `status` over the bottom of the area and hands it to the area,
 * which then owns it (destroys it with itself). */
void uipriv_area_set_status(uiArea *a, uiStatusText *status);
/* Places the status text along the bottom of its area again (the area
 * changed size, or the text's height changed). */
void uipriv_status_text_layout(uiStatusText *s);

/* Reports a caller's bug on stderr: `before`, the decimal `number` when
 * `before` ends in '%' (which is not printed), then `after`; aborts. The
 * backend does without the printf family, whose formatter would make up a
 * tenth of the program. */
void uipriv_user_bug(const char *before, long number, const char *after)
    __attribute__((noreturn));

/* The decimal digits of `number` into `out` (at least 21 bytes),
 * NUL-terminated; returns `out`. */
char *uipriv_decimal(char *out, long number);

#endif /* TALVORO_UI_WIN32_UIPRIV_H_ */
