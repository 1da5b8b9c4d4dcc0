/* uiWindow: a GtkWindow holding at most one child control. */
#include <stdlib.h>

#include "uipriv.h"

struct uiWindow {
  uiControl c;
  GtkWindow *window;
  uiControl *child;
  int (*on_closing)(uiWindow *w, void *data);
  void *on_closing_data;
  int margined;
};

/* Space around the child of a margined window, in pixels. */
enum { kWindowMargin = 12 };

static int default_on_closing(uiWindow *w, void *data) {
  (void)w;
  (void)data;
  return 0;
}

static gboolean on_delete_event(GtkWidget *widget, GdkEvent *event,
                                gpointer data) {
  (void)widget;
  (void)event;
  uiWindow *w = data;
  if (w->on_closing(w, w->on_closing_data)) uiControlDestroy(uiControl(w));
  /* The window is never destroyed behind the program's back. */
  return TRUE;
}

static void apply_margin(uiWindow *w) {
  if (w->child == NULL) return;
  int m = w->margined ? kWindowMargin : 0;
  gtk_widget_set_margin_start(w->child->widget, m);
  gtk_widget_set_margin_end(w->child->widget, m);
  gtk_widget_set_margin_top(w->child->widget, m);
  gtk_widget_set_margin_bottom(w->child->widget, m);
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
  GtkWidget *widget = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  uipriv_control_init(uiControl(w), widget, window_destroy_children);
  w->window = GTK_WINDOW(widget);
  w->on_closing = default_on_closing;
  gtk_window_set_title(w->window, title);
  gtk_window_set_default_size(w->window, width, height);
  gtk_window_resize(w->window, width, height);
  g_signal_connect(widget, "delete-event", G_CALLBACK(on_delete_event), w);
  return w;
}

void uiWindowOnClosing(uiWindow *w, int (*f)(uiWindow *w, void *data),
                       void *data) {
  w->on_closing = f;
  w->on_closing_data = data;
}

void uiWindowSetMargined(uiWindow *w, int margined) {
  w->margined = margined;
  apply_margin(w);
}

void uiWindowSetBorderless(uiWindow *w, int borderless) {
  gtk_window_set_decorated(w->window, borderless ? FALSE : TRUE);
}

void uiWindowSetResizeable(uiWindow *w, int resizeable) {
  gtk_window_set_resizable(w->window, resizeable ? TRUE : FALSE);
}

void uiWindowSetPosition(uiWindow *w, int x, int y) {
  gtk_window_move(w->window, x, y);
}

void uiWindowSetChild(uiWindow *w, uiControl *child) {
  if (w->child != NULL) {
    gtk_container_remove(GTK_CONTAINER(w->window), w->child->widget);
    uipriv_control_set_parent(w->child, NULL);
  }
  w->child = child;
  if (child != NULL) {
    uipriv_control_set_parent(child, uiControl(w));
    gtk_widget_set_hexpand(child->widget, TRUE);
    gtk_widget_set_vexpand(child->widget, TRUE);
    gtk_container_add(GTK_CONTAINER(w->window), child->widget);
    apply_margin(w);
  }
}
