/* uiMsgBoxError: a modal GtkMessageDialog. */
#include "uipriv.h"

/* Rounds of pending events run at most once the dialog is gone. */
enum { kMaxDrainRounds = 1000 };

static void on_response(GtkDialog *dialog, gint response, gpointer data) {
  (void)dialog;
  (void)response;
  *(gboolean *)data = TRUE;
}

int uiMsgBoxError(uiWindow *parent, const char *title,
                  const char *description) {
  /* A refusal before the toolkit started opens the display here; the
   * program ends soon after, so nothing of it is taken down again. */
  if (!gtk_init_check(NULL, NULL)) return 0;
  GtkWindow *owner =
      parent != NULL ? GTK_WINDOW(uiControl(parent)->widget) : NULL;
  GtkWidget *dialog =
      gtk_message_dialog_new(owner, GTK_DIALOG_MODAL, GTK_MESSAGE_ERROR,
                             GTK_BUTTONS_CLOSE, "%s", description);
  gtk_window_set_title(GTK_WINDOW(dialog), title);
  gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
  /* gtk_dialog_run() would run a main loop of its own; this one waits on
   * the default context as the rest of the backend does. Closing the
   * dialog from the window manager answers too (GTK_RESPONSE_DELETE_EVENT).
   */
  gboolean answered = FALSE;
  g_signal_connect(dialog, "response", G_CALLBACK(on_response), &answered);
  gtk_widget_show_all(dialog);
  while (!answered) g_main_context_iteration(NULL, TRUE);
  gtk_widget_destroy(dialog);
  /* Gone from the screen before the caller goes on. */
  for (int i = 0; i < kMaxDrainRounds && g_main_context_pending(NULL); i++)
    g_main_context_iteration(NULL, FALSE);
  gdk_display_sync(gdk_display_get_default());
  return 1;
}
