/* uiProgressBar: a horizontal GtkProgressBar showing whole percent. */
#include <stdlib.h>

#include "uipriv.h"

struct uiProgressBar {
  uiControl c;
  GtkProgressBar *bar;
};

uiProgressBar *uiNewProgressBar(void) {
  uiProgressBar *p = calloc(1, sizeof *p);
  if (p == NULL) abort();
  GtkWidget *widget = gtk_progress_bar_new();
  uipriv_control_init(uiControl(p), widget, NULL);
  p->bar = GTK_PROGRESS_BAR(widget);
  return p;
}

void uiProgressBarSetValue(uiProgressBar *p, int value) {
  if (value == -1) {
    gtk_progress_bar_pulse(p->bar);
    return;
  }
  if (value < 0 || value > 100)
    uipriv_user_bug("Value %d is out of range for uiProgressBars.", value);
  gtk_progress_bar_set_fraction(p->bar, (gdouble)value / 100);
}

void uiProgressBarSetError(uiProgressBar *p, int error) {
  GtkStyleContext *style = gtk_widget_get_style_context(GTK_WIDGET(p->bar));
  if (error)
    gtk_style_context_add_class(style, "error");
  else
    gtk_style_context_remove_class(style, "error");
}
