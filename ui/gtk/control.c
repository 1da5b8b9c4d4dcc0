/* The part common to every control: ownership, show, hide, destroy. */
#include <stdlib.h>

#include "uipriv.h"

void uipriv_control_init(uiControl *c, GtkWidget *widget,
                         void (*destroy_children)(uiControl *c)) {
  c->widget = GTK_WIDGET(g_object_ref_sink(widget));
  c->parent = NULL;
  c->destroy_children = destroy_children;
  /* Controls inside a window are visible unless hidden; a window shows
   * itself only when asked. */
  if (!GTK_IS_WINDOW(widget)) gtk_widget_show(widget);
}

void uipriv_control_set_parent(uiControl *c, uiControl *parent) {
  if (parent != NULL && c->parent != NULL)
    uipriv_user_bug(
        "You cannot give a uiControl a parent while it already "
        "has one.");
  c->parent = parent;
}

void uiControlDestroy(uiControl *c) {
  if (c->parent != NULL)
    uipriv_user_bug(
        "You cannot destroy a uiControl while it still has a "
        "parent.");
  if (c->destroy_children != NULL) c->destroy_children(c);
  gtk_widget_destroy(c->widget);
  g_object_unref(c->widget);
  free(c);
}

void uiControlShow(uiControl *c) { gtk_widget_show(c->widget); }

void uiControlHide(uiControl *c) { gtk_widget_hide(c->widget); }

uintptr_t uiControlHandle(uiControl *c) { return (uintptr_t)c->widget; }
