/* The part common to every control: ownership, show, hide, destroy. */
#include <stdlib.h>

#include "uipriv.h"

void uipriv_control_init(uiControl *c, HWND hwnd,
                         void (*destroy_children)(uiControl *c)) {
  if (hwnd == NULL) abort();
  c->hwnd = hwnd;
  c->parent = NULL;
  c->destroy_children = destroy_children;
  SetWindowLongPtrW(hwnd, GWLP_USERDATA, (LONG_PTR)c);
}

uiControl *uipriv_control_of(HWND hwnd) {
  return (uiControl *)GetWindowLongPtrW(hwnd, GWLP_USERDATA);
}

void uipriv_control_set_parent(uiControl *c, uiControl *parent) {
  if (parent != NULL && c->parent != NULL)
    uipriv_user_bug(
        "You cannot give a uiControl a parent while it already "
        "has one.",
        0, "");
  c->parent = parent;
  SetParent(c->hwnd, parent != NULL ? parent->hwnd : uipriv_parking_window());
}

int uipriv_control_natural_height(uiControl *c) {
  return c->natural_height != NULL ? c->natural_height(c) : 0;
}

int uipriv_control_visible(uiControl *c) {
  return (GetWindowLongPtrW(c->hwnd, GWL_STYLE) & WS_VISIBLE) != 0;
}

void uiControlDestroy(uiControl *c) {
  if (c->parent != NULL)
    uipriv_user_bug(
        "You cannot destroy a uiControl while it still has a "
        "parent.",
        0, "");
  if (c->destroy_children != NULL) c->destroy_children(c);
  /* No message reaches the control once its struct is gone. */
  SetWindowLongPtrW(c->hwnd, GWLP_USERDATA, 0);
  DestroyWindow(c->hwnd);
  free(c);
}

static void show(uiControl *c, int cmd) {
  ShowWindow(c->hwnd, cmd);
  if (c->parent != NULL && c->parent->relayout != NULL)
    c->parent->relayout(c->parent);
}

void uiControlShow(uiControl *c) {
  /* A top-level window is shown and activated; a child is only shown. */
  int top_level = (GetWindowLongPtrW(c->hwnd, GWL_STYLE) & WS_CHILD) == 0;
  show(c, top_level ? SW_SHOW : SW_SHOWNA);
}

void uiControlHide(uiControl *c) { show(c, SW_HIDE); }

uintptr_t uiControlHandle(uiControl *c) { return (uintptr_t)c->hwnd; }
