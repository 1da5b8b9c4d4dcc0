/* uiArea: a GtkDrawingArea that forwards drawing, mouse and key events to
 * a uiAreaHandler, inside a GtkOverlay that can lay a status text over it
 * (statustext.c). */
#include <stdlib.h>

#include "uipriv.h"

struct uiArea {
  uiControl c; /* widget: the GtkOverlay */
  GtkWidget *drawing;
  uiStatusText *status; /* or NULL */
  uiAreaHandler *ah;
  uint64_t held; /* mouse buttons 1 to 64 currently down */
};

static uiModifiers to_modifiers(guint state) {
  uiModifiers m = 0;
  if (state & GDK_CONTROL_MASK) m |= uiModifierCtrl;
  if (state & GDK_MOD1_MASK) m |= uiModifierAlt;
  if (state & GDK_SHIFT_MASK) m |= uiModifierShift;
  if (state & GDK_SUPER_MASK) m |= uiModifierSuper;
  return m;
}

static void fill_mouse(uiArea *a, GtkWidget *widget, double x, double y,
                       guint state, uiAreaMouseEvent *me) {
  me->X = x;
  me->Y = y;
  me->AreaWidth = gtk_widget_get_allocated_width(widget);
  me->AreaHeight = gtk_widget_get_allocated_height(widget);
  me->Down = 0;
  me->Up = 0;
  me->Count = 0;
  me->Modifiers = to_modifiers(state);
  me->Held1To64 = a->held;
}

static gboolean on_draw(GtkWidget *widget, cairo_t *cr, gpointer data) {
  uiArea *a = data;
  uiDrawContext context = {cr};
  double x0, y0, x1, y1;
  cairo_clip_extents(cr, &x0, &y0, &x1, &y1);
  uiAreaDrawParams dp = {
      .Context = &context,
      .AreaWidth = gtk_widget_get_allocated_width(widget),
      .AreaHeight = gtk_widget_get_allocated_height(widget),
      .ClipX = x0,
      .ClipY = y0,
      .ClipWidth = x1 - x0,
      .ClipHeight = y1 - y0,
  };
  a->ah->Draw(a->ah, a, &dp);
  return FALSE;
}

static gboolean on_button(GtkWidget *widget, GdkEventButton *e, gpointer data) {
  uiArea *a = data;
  if (e->type != GDK_BUTTON_PRESS && e->type != GDK_BUTTON_RELEASE)
    return GDK_EVENT_PROPAGATE;
  uiAreaMouseEvent me;
  uint64_t bit =
      (e->button >= 1 && e->button <= 64) ? (uint64_t)1 << (e->button - 1) : 0;
  fill_mouse(a, widget, e->x, e->y, e->state, &me);
  if (e->type == GDK_BUTTON_PRESS) {
    me.Down = (int)e->button;
    me.Count = 1;
    a->held |= bit;
  } else {
    me.Up = (int)e->button;
    a->held &= ~bit;
    me.Held1To64 = a->held;
  }
  a->ah->MouseEvent(a->ah, a, &me);
  return GDK_EVENT_STOP;
}

static gboolean on_motion(GtkWidget *widget, GdkEventMotion *e, gpointer data) {
  uiArea *a = data;
  uiAreaMouseEvent me;
  fill_mouse(a, widget, e->x, e->y, e->state, &me);
  a->ah->MouseEvent(a->ah, a, &me);
  return GDK_EVENT_STOP;
}

static gboolean on_crossing(GtkWidget *widget, GdkEventCrossing *e,
                            gpointer data) {
  (void)widget;
  uiArea *a = data;
  a->ah->MouseCrossed(a->ah, a, e->type == GDK_LEAVE_NOTIFY);
  return GDK_EVENT_PROPAGATE;
}

static gboolean on_grab_broken(GtkWidget *widget, GdkEventGrabBroken *e,
                               gpointer data) {
  (void)widget;
  (void)e;
  uiArea *a = data;
  a->held = 0;
  a->ah->DragBroken(a->ah, a);
  return GDK_EVENT_PROPAGATE;
}

static uiExtKey to_ext_key(guint keyval) {
  switch (keyval) {
    case GDK_KEY_Escape:
      return uiExtKeyEscape;
    case GDK_KEY_Insert:
      return uiExtKeyInsert;
    case GDK_KEY_Delete:
      return uiExtKeyDelete;
    case GDK_KEY_Home:
      return uiExtKeyHome;
    case GDK_KEY_End:
      return uiExtKeyEnd;
    case GDK_KEY_Page_Up:
      return uiExtKeyPageUp;
    case GDK_KEY_Page_Down:
      return uiExtKeyPageDown;
    case GDK_KEY_Up:
      return uiExtKeyUp;
    case GDK_KEY_Down:
      return uiExtKeyDown;
    case GDK_KEY_Left:
      return uiExtKeyLeft;
    case GDK_KEY_Right:
      return uiExtKeyRight;
    default:
      return 0;
  }
}

static uiModifiers modifier_key(guint keyval) {
  switch (keyval) {
    case GDK_KEY_Control_L:
    case GDK_KEY_Control_R:
      return uiModifierCtrl;
    case GDK_KEY_Alt_L:
    case GDK_KEY_Alt_R:
      return uiModifierAlt;
    case GDK_KEY_Shift_L:
    case GDK_KEY_Shift_R:
      return uiModifierShift;
    case GDK_KEY_Super_L:
    case GDK_KEY_Super_R:
      return uiModifierSuper;
    default:
      return 0;
  }
}

static gboolean on_key(GtkWidget *widget, GdkEventKey *e, gpointer data) {
  (void)widget;
  uiArea *a = data;
  uiAreaKeyEvent ke = {0};
  ke.Up = e->type == GDK_KEY_RELEASE;
  ke.Modifiers = to_modifiers(e->state);
  ke.ExtKey = to_ext_key(e->keyval);
  ke.Modifier = modifier_key(e->keyval);
  if (ke.ExtKey == 0 && ke.Modifier == 0) {
    guint32 ch = gdk_keyval_to_unicode(gdk_keyval_to_lower(e->keyval));
    if (ch == 0 || ch > 0x7f) return GDK_EVENT_PROPAGATE;
    ke.Key = (char)ch;
  }
  return a->ah->KeyEvent(a->ah, a, &ke) ? GDK_EVENT_STOP : GDK_EVENT_PROPAGATE;
}

static void area_destroy_children(uiControl *c) {
  uiArea *a = (uiArea *)c;
  if (a->status != NULL) {
    uiControl *status = uiControl(a->status);
    a->status = NULL;
    uipriv_control_set_parent(status, NULL);
    uiControlDestroy(status);
  }
}

GtkOverlay *uipriv_area_overlay(uiArea *a, uiStatusText *status) {
  if (a->status != NULL)
    uipriv_user_bug("A uiArea can hold only one uiStatusText.");
  a->status = status;
  return GTK_OVERLAY(a->c.widget);
}

uiArea *uiNewArea(uiAreaHandler *ah) {
  uiArea *a = calloc(1, sizeof *a);
  if (a == NULL) abort();
  GtkWidget *overlay = gtk_overlay_new();
  uipriv_control_init(uiControl(a), overlay, area_destroy_children);
  GtkWidget *widget = gtk_drawing_area_new();
  a->drawing = widget;
  gtk_container_add(GTK_CONTAINER(overlay), widget);
  gtk_widget_show(widget);
  a->ah = ah;
  gtk_widget_set_can_focus(widget, TRUE);
  gtk_widget_add_events(widget,
                        GDK_POINTER_MOTION_MASK | GDK_BUTTON_PRESS_MASK |
                            GDK_BUTTON_RELEASE_MASK | GDK_ENTER_NOTIFY_MASK |
                            GDK_LEAVE_NOTIFY_MASK | GDK_KEY_PRESS_MASK |
                            GDK_KEY_RELEASE_MASK);
  g_signal_connect(widget, "draw", G_CALLBACK(on_draw), a);
  g_signal_connect(widget, "button-press-event", G_CALLBACK(on_button), a);
  g_signal_connect(widget, "button-release-event", G_CALLBACK(on_button), a);
  g_signal_connect(widget, "motion-notify-event", G_CALLBACK(on_motion), a);
  g_signal_connect(widget, "enter-notify-event", G_CALLBACK(on_crossing), a);
  g_signal_connect(widget, "leave-notify-event", G_CALLBACK(on_crossing), a);
  g_signal_connect(widget, "grab-broken-event", G_CALLBACK(on_grab_broken), a);
  g_signal_connect(widget, "key-press-event", G_CALLBACK(on_key), a);
  g_signal_connect(widget, "key-release-event", G_CALLBACK(on_key), a);
  return a;
}
