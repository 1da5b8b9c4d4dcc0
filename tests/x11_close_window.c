/* Asks a top-level window to close the way a window manager does: a
 * WM_PROTOCOLS client message carrying WM_DELETE_WINDOW.
 *
 *   x11_close_window TITLE
 *
 * Exits 0 when the message was sent, 1 when no window has that title, 2 when
 * the display cannot be opened. */
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <stdio.h>
#include <string.h>

static int HasTitle(Display* d, Window w, const char* title) {
  char* name = NULL;
  int match = 0;
  if (XFetchName(d, w, &name) && name) {
    match = strcmp(name, title) == 0;
    XFree(name);
  }
  return match;
}

/* Depth-first search below `w` for a window titled `title`; 0 if none. */
static Window Find(Display* d, Window w, const char* title, int depth) {
  if (HasTitle(d, w, title)) return w;
  if (depth > 4) return 0;
  Window root, parent, *children = NULL;
  unsigned int n = 0;
  Window found = 0;
  if (XQueryTree(d, w, &root, &parent, &children, &n)) {
    for (unsigned int i = 0; i < n && !found; i++) {
      found = Find(d, children[i], title, depth + 1);
    }
    if (children) XFree(children);
  }
  return found;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s TITLE\n", argv[0]);
    return 2;
  }
  Display* d = XOpenDisplay(NULL);
  if (!d) {
    fprintf(stderr, "cannot open display\n");
    return 2;
  }
  Window w = Find(d, DefaultRootWindow(d), argv[1], 0);
  if (!w) {
    XCloseDisplay(d);
    return 1;
  }
  XEvent ev;
  memset(&ev, 0, sizeof ev);
  ev.xclient.type = ClientMessage;
  ev.xclient.window = w;
  ev.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
  ev.xclient.format = 32;
  ev.xclient.data.l[0] = (long)XInternAtom(d, "WM_DELETE_WINDOW", False);
  ev.xclient.data.l[1] = CurrentTime;
  XSendEvent(d, w, False, NoEventMask, &ev);
  XFlush(d);
  XCloseDisplay(d);
  return 0;
}
