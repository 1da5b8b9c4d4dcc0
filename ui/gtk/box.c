/* uiBox: a vertical GtkBox whose children are owned by the box. */
#include <stdlib.h>

#include "uipriv.h"

struct uiBox {
  uiControl c;
  GtkBox *box;
  GPtrArray *children; /* uiControl *, in order */
};

/* Space between the children of a padded box, in pixels. */
enum { kBoxPadding = 6 };

static void box_destroy_children(uiControl *c) {
  uiBox *b = (uiBox *)c;
  for (guint i = 0; i < b->children->len; i++) {
    uiControl *child = g_ptr_array_index(b->children, i);
    uipriv_control_set_parent(child, NULL);
    uiControlDestroy(child);
  }
  g_ptr_array_free(b->children, TRUE);
  b->children = NULL;
}

uiBox *uiNewVerticalBox(void) {
  uiBox *b = calloc(1, sizeof *b);
  if (b == NULL) abort();
  GtkWidget *widget = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  uipriv_control_init(uiControl(b), widget, box_destroy_children);
  b->box = GTK_BOX(widget);
  b->children = g_ptr_array_new();
  return b;
}

void uiBoxAppend(uiBox *b, uiControl *child, int stretchy) {
  uipriv_control_set_parent(child, uiControl(b));
  g_ptr_array_add(b->children, child);
  gtk_widget_set_hexpand(child->widget, TRUE);
  gtk_widget_set_halign(child->widget, GTK_ALIGN_FILL);
  gtk_widget_set_vexpand(child->widget, stretchy ? TRUE : FALSE);
  gtk_widget_set_valign(child->widget, GTK_ALIGN_FILL);
  gtk_box_pack_start(b->box, child->widget, stretchy ? TRUE : FALSE, TRUE, 0);
}

void uiBoxSetPadded(uiBox *b, int padded) {
  gtk_box_set_spacing(b->box, padded ? kBoxPadding : 0);
}
