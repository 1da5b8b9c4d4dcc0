/* Start, end and stepping of the GTK 3 backend. */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "uipriv.h"

static gboolean quit_requested = FALSE;

const char *uiInit(uiInitOptions *options) {
  (void)options;
  quit_requested = FALSE;
  /* Every control draws with cairo into image surfaces; nothing uses GL.
   * Without this, GDK's X11 backend loads the GL driver at start-up to
   * pick visuals, which costs about 90 ms and over 50 MB of resident
   * memory (a software driver brings a whole compiler with it). A value
   * the user set stays. GDK reads the variable while it starts, so it is
   * taken away again right after: programs started from this process get
   * the environment it was given. */
  gboolean set_gl = g_getenv("GDK_GL") == NULL;
  if (set_gl) g_setenv("GDK_GL", "disable", TRUE);
  gboolean started = gtk_init_check(NULL, NULL);
  if (set_gl) g_unsetenv("GDK_GL");
  if (!started) {
    const char *name = gdk_get_display_arg_name();
    if (name == NULL) name = g_getenv("DISPLAY");
    if (name == NULL) name = "";
    /* Allocated with malloc so that uiFreeInitError() matches. */
    const char *prefix = "cannot open display: ";
    size_t n = strlen(prefix) + strlen(name) + 1;
    char *message = malloc(n);
    if (message == NULL) abort();
    snprintf(message, n, "%s%s", prefix, name);
    return message;
  }
  return NULL;
}

/* Rounds of pending events uiUninit runs at most: a source that is always
 * ready must not keep the teardown from ending. */
enum { kMaxUninitRounds = 10000 };

void uiUninit(void) {
  /* Run what the destroyed controls left queued (finalisers, idle
   * releases) so that nothing of them outlives the toolkit. */
  for (int i = 0; i < kMaxUninitRounds && g_main_context_pending(NULL); i++)
    g_main_context_iteration(NULL, FALSE);
  /* The destroyed windows' requests may still sit in the connection's
   * buffer or the server's queue: one round trip, and they are gone from
   * the screen before the toolkit counts as ended. */
  GdkDisplay *display = gdk_display_get_default();
  if (display != NULL) gdk_display_sync(display);
  quit_requested = FALSE;
}

void uiFreeInitError(const char *err) { free((void *)err); }

void uiMainSteps(void) { quit_requested = FALSE; }

int uiMainStep(int wait) {
  if (quit_requested) return 0;
  g_main_context_iteration(NULL, wait ? TRUE : FALSE);
  return quit_requested ? 0 : 1;
}

void uiQuit(void) { quit_requested = TRUE; }

static gboolean on_step_timeout(gpointer data) {
  *(gboolean *)data = TRUE;
  return G_SOURCE_REMOVE;
}

int uiMainStepTimeout(int milliseconds) {
  if (quit_requested) return 0;
  if (milliseconds <= 0) {
    g_main_context_iteration(NULL, FALSE);
    return quit_requested ? 0 : 1;
  }
  /* One blocking iteration: it returns after dispatching what became
   * ready, the timer included, or after a wake-up of the context. */
  gboolean fired = FALSE;
  GSource *timer = g_timeout_source_new((guint)milliseconds);
  g_source_set_callback(timer, on_step_timeout, &fired, NULL);
  g_source_attach(timer, NULL);
  g_main_context_iteration(NULL, TRUE);
  if (!fired) g_source_destroy(timer);
  g_source_unref(timer);
  return quit_requested ? 0 : 1;
}

void uiWakeMain(void) { g_main_context_wakeup(NULL); }

void uiFreeText(char *text) { g_free(text); }

void uipriv_user_bug(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  vfprintf(stderr, format, ap);
  va_end(ap);
  fputc('\n', stderr);
  fflush(stderr);
  abort();
}
