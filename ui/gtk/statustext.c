/* uiStatusText: a GtkLabel in the area's overlay, along its bottom edge,
 * light text on a dark band. */
#include <stdlib.h>
#include <string.h>

#include "uipriv.h"

struct uiStatusText {
  uiControl c;
  GtkLabel *label;
};

/* Space around the text inside the band, in units of the font's height
 * divided by 12 (a 12-pixel font gets 4 pixels above and below). */
enum { kPadTop = 4, kPadSide = 8 };

/* Faces that have Chinese and narrow Latin letters, then the theme's. */
static const char kFamilies[] =
    "\"Noto Sans CJK SC\", \"WenQuanYi Micro Hei\", \"Droid Sans Fallback\", "
    "sans-serif";

/* The band's colours; a style provider of the label alone, so that the
 * rest of the window keeps the theme's look. */
static void style_label(GtkWidget *label, int font_pixels) {
  char css[512];
  int pad = font_pixels * kPadTop / 12;
  int side = font_pixels * kPadSide / 12;
  g_snprintf(css, sizeof css,
             "label { background-color: rgba(0, 0, 0, 0.72);"
             " color: #f2f2f2; font-size: %dpx; font-family: %s; padding: %dpx "
             "%dpx; }",
             font_pixels, kFamilies, pad, side);
  GtkCssProvider *provider = gtk_css_provider_new();
  gtk_css_provider_load_from_data(provider, css, -1, NULL);
  GtkStyleContext *style = gtk_widget_get_style_context(label);
  gtk_style_context_add_provider(style, GTK_STYLE_PROVIDER(provider),
                                 GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  gtk_style_context_add_class(style, "status");
  g_object_unref(provider);
}

/* The band's place: along the bottom of the area, as wide as it and as
 * high as the text needs at that width (GtkOverlay's own placing would
 * take the label's height at its narrowest). */
static gboolean on_child_position(GtkOverlay *overlay, GtkWidget *widget,
                                  GdkRectangle *place, gpointer data) {
  if (widget != data) return FALSE;
  int width = gtk_widget_get_allocated_width(GTK_WIDGET(overlay));
  int height = gtk_widget_get_allocated_height(GTK_WIDGET(overlay));
  int minimum = 0, natural = 0;
  gtk_widget_get_preferred_height_for_width(widget, width, &minimum, &natural);
  if (natural > height) natural = height;
  place->x = 0;
  place->y = height - natural;
  place->width = width;
  place->height = natural;
  return TRUE;
}

uiStatusText *uiNewStatusText(uiArea *over, int font_pixels) {
  uiStatusText *s = calloc(1, sizeof *s);
  if (s == NULL) abort();
  GtkWidget *label = gtk_label_new("");
  uipriv_control_init(uiControl(s), label, NULL);
  s->label = GTK_LABEL(label);
  gtk_label_set_line_wrap(s->label, TRUE);
  gtk_label_set_justify(s->label, GTK_JUSTIFY_CENTER);
  /* Wrapping needs a width to wrap at: the band is as wide as the area. */
  gtk_label_set_max_width_chars(s->label, 1);
  gtk_widget_set_halign(label, GTK_ALIGN_FILL);
  gtk_widget_set_valign(label, GTK_ALIGN_END);
  style_label(label, font_pixels > 0 ? font_pixels : 12);
  /* Clicks and keys still reach the picture. */
  gtk_widget_set_can_focus(label, FALSE);
  GtkOverlay *overlay = uipriv_area_overlay(over, s);
  uipriv_control_set_parent(uiControl(s), uiControl(over));
  g_signal_connect(overlay, "get-child-position", G_CALLBACK(on_child_position),
                   label);
  gtk_overlay_add_overlay(overlay, label);
  gtk_overlay_set_overlay_pass_through(overlay, label, TRUE);
  gtk_widget_hide(label);
  return s;
}

void uiStatusTextSetText(uiStatusText *s, const char *text) {
  /* The same text again changes nothing: no new layout, no redraw. */
  if (strcmp(gtk_label_get_text(s->label), text) == 0) return;
  gtk_label_set_text(s->label, text);
  gtk_widget_set_visible(GTK_WIDGET(s->label), text[0] != '\0');
}

char *uiStatusTextText(uiStatusText *s) {
  return g_strdup(gtk_label_get_text(s->label));
}
