/* Internals shared by the GTK 3 backend's controls. */
#ifndef TALVORO_UI_GTK_UIPRIV_H_
#define TALVORO_UI_GTK_UIPRIV_H_

#include <gtk/gtk.h>

#include "ui/libui/ui.h"

/* Every control starts with this header. The backend holds one reference to
 * widget (taken with g_object_ref_sink) until the control is destroyed. */
struct uiControl {
  GtkWidget *widget;
  uiControl *parent;
  /* Destroys the control's children and releases its own resources except
   * the widget and the struct itself. May be NULL. */
  void (*destroy_children)(uiControl *c);
};

struct uiDrawContext {
  cairo_t *cr;
};

/* Sets up the common header for a freshly created widget. */
void uipriv_control_init(uiControl *c, GtkWidget *widget,
                         void (*destroy_children)(uiControl *c));
/* Detaches child from its parent so that the parent's owner can destroy
 * it. */
void uipriv_control_set_parent(uiControl *c, uiControl *parent);
/* Hands the area's overlay to the status text laid over it; the area then
 * owns `status` (destroys it with itself). */
GtkOverlay *uipriv_area_overlay(uiArea *a, uiStatusText *status);
/* Reports a caller's bug on stderr and aborts. */
void uipriv_user_bug(const char *format, ...)
    G_GNUC_PRINTF(1, 2) G_GNUC_NORETURN;

#endif /* TALVORO_UI_GTK_UIPRIV_H_ */
