/* uiBox: a vertical box whose children are owned by the box. Non-stretchy
 * children get their natural height; the stretchy ones share the rest. */
#include <stdlib.h>

#include "uipriv.h"

struct box_child {
  uiControl *control;
  int stretchy;
};

struct uiBox {
  uiControl c;
  struct box_child *children; /* in order */
  int count;
  int capacity;
  int padded;
};

/* Space between the children of a padded box, in pixels. */
enum { kBoxPadding = 6 };

/* Places the visible children from top to bottom over the box's client
 * area, each as wide as the box. */
static void box_layout(uiControl *c) {
  uiBox *b = (uiBox *)c;
  RECT r;
  GetClientRect(b->c.hwnd, &r);
  int width = r.right - r.left;
  int height = r.bottom - r.top;
  int visible = 0, stretchy = 0, fixed = 0;
  for (int i = 0; i < b->count; i++) {
    if (!uipriv_control_visible(b->children[i].control)) continue;
    visible++;
    if (b->children[i].stretchy)
      stretchy++;
    else
      fixed += uipriv_control_natural_height(b->children[i].control);
  }
  if (visible == 0) return;
  int padding = b->padded ? kBoxPadding : 0;
  int free_space = height - fixed - padding * (visible - 1);
  if (free_space < 0) free_space = 0;
  int y = 0, stretchy_seen = 0;
  HDWP defer = BeginDeferWindowPos(visible);
  for (int i = 0; i < b->count; i++) {
    uiControl *child = b->children[i].control;
    if (!uipriv_control_visible(child)) continue;
    int h;
    if (b->children[i].stretchy) {
      /* The last stretchy child takes what the division leaves over. */
      stretchy_seen++;
      h = stretchy_seen == stretchy
              ? free_space - (free_space / stretchy) * (stretchy - 1)
              : free_space / stretchy;
    } else {
      h = uipriv_control_natural_height(child);
    }
    if (defer != NULL)
      defer = DeferWindowPos(defer, child->hwnd, NULL, 0, y, width, h,
                             SWP_NOZORDER | SWP_NOACTIVATE);
    else
      MoveWindow(child->hwnd, 0, y, width, h, TRUE);
    y += h + padding;
  }
  if (defer != NULL) EndDeferWindowPos(defer);
}

static int box_natural_height(uiControl *c) {
  uiBox *b = (uiBox *)c;
  int height = 0, visible = 0;
  for (int i = 0; i < b->count; i++) {
    if (!uipriv_control_visible(b->children[i].control)) continue;
    if (visible++ > 0 && b->padded) height += kBoxPadding;
    height += uipriv_control_natural_height(b->children[i].control);
  }
  return height;
}

/* The box's own window: it lays its children out whenever it changes
 * size (its parent's layout moves it). */
static LRESULT CALLBACK container_proc(HWND hwnd, UINT msg, WPARAM wparam,
                                       LPARAM lparam) {
  uiControl *c = uipriv_control_of(hwnd);
  if (msg == WM_SIZE && c != NULL && c->relayout != NULL) {
    c->relayout(c);
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wparam, lparam);
}

int uipriv_register_container_class(void) {
  WNDCLASSW wc = {0};
  wc.lpfnWndProc = container_proc;
  wc.hInstance = uipriv_instance;
  wc.hCursor = LoadCursorW(NULL, (LPCWSTR)IDC_ARROW);
  wc.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
  wc.lpszClassName = UIPRIV_CONTAINER_CLASS;
  return RegisterClassW(&wc) != 0;
}

static void box_destroy_children(uiControl *c) {
  uiBox *b = (uiBox *)c;
  for (int i = 0; i < b->count; i++) {
    uiControl *child = b->children[i].control;
    uipriv_control_set_parent(child, NULL);
    uiControlDestroy(child);
  }
  free(b->children);
  b->children = NULL;
  b->count = 0;
}

uiBox *uiNewVerticalBox(void) {
  uiBox *b = calloc(1, sizeof *b);
  if (b == NULL) abort();
  HWND hwnd = CreateWindowExW(
      WS_EX_CONTROLPARENT, UIPRIV_CONTAINER_CLASS, L"",
      WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | WS_CLIPSIBLINGS, 0, 0, 0, 0,
      uipriv_parking_window(), NULL, uipriv_instance, NULL);
  uipriv_control_init(uiControl(b), hwnd, box_destroy_children);
  b->c.natural_height = box_natural_height;
  b->c.relayout = box_layout;
  return b;
}

void uiBoxAppend(uiBox *b, uiControl *child, int stretchy) {
  uipriv_control_set_parent(child, uiControl(b));
  if (b->count == b->capacity) {
    int capacity = b->capacity > 0 ? b->capacity * 2 : 4;
    struct box_child *grown =
        realloc(b->children, (size_t)capacity * sizeof *grown);
    if (grown == NULL) abort();
    b->children = grown;
    b->capacity = capacity;
  }
  b->children[b->count].control = child;
  b->children[b->count].stretchy = stretchy != 0;
  b->count++;
  box_layout(uiControl(b));
}

void uiBoxSetPadded(uiBox *b, int padded) {
  b->padded = padded != 0;
  box_layout(uiControl(b));
}
