/* Start, end and stepping of the Win32 backend. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "uipriv.h"

HINSTANCE uipriv_instance;

/* Written by uiInit() and uiUninit() on the toolkit's thread, read by
 * uiWakeMain() on any. */
static HWND volatile parking;
static int quit_requested;
static const WCHAR *const registered[] = {
    UIPRIV_WINDOW_CLASS, UIPRIV_CONTAINER_CLASS, UIPRIV_AREA_CLASS};

HWND uipriv_parking_window(void) { return parking; }

char *uipriv_decimal(char *out, long number) {
  char digits[24];
  size_t n = 0;
  unsigned long magnitude =
      number < 0 ? 0UL - (unsigned long)number : (unsigned long)number;
  do {
    digits[n++] = (char)('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  char *p = out;
  if (number < 0) *p++ = '-';
  while (n > 0) *p++ = digits[--n];
  *p = '\0';
  return out;
}

/* "what failed (error N)" in malloc'd memory, as uiFreeInitError() frees. */
static const char *init_error(const char *what, DWORD code) {
  char number[24];
  uipriv_decimal(number, (long)code);
  size_t n = strlen(what) + strlen(" failed (error ") + strlen(number) + 2;
  char *message = malloc(n);
  if (message == NULL) abort();
  strcpy(message, what);
  strcat(message, " failed (error ");
  strcat(message, number);
  strcat(message, ")");
  return message;
}

static void unregister_classes(void) {
  for (size_t i = 0; i < sizeof registered / sizeof registered[0]; i++)
    UnregisterClassW(registered[i], uipriv_instance);
}

typedef BOOL(WINAPI *init_common_controls_fn)(const INITCOMMONCONTROLSEX *);

/* Loads comctl32 (the version 6 that the manifest binds the name to; it
 * stays loaded) and registers its progress bar class. Loaded here, not
 * imported: the loader starts an imported comctl32 before the program's
 * first instruction, and its start loads uxtheme.dll by name, which Wine
 * then searches for in the program's folder first. By now the program has
 * limited the DLL search to System32 and taken uxtheme from there. */
static const char *init_common_controls(void) {
  HMODULE comctl32 =
      LoadLibraryExW(L"comctl32.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (comctl32 == NULL)
    return init_error("LoadLibraryExW(comctl32.dll)", GetLastError());
  init_common_controls_fn init =
      (init_common_controls_fn)(void (*)(void))GetProcAddress(
          comctl32, "InitCommonControlsEx");
  if (init == NULL) return init_error("InitCommonControlsEx", GetLastError());
  INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_PROGRESS_CLASS};
  if (!init(&icc)) return init_error("InitCommonControlsEx", GetLastError());
  return NULL;
}

const char *uiInit(uiInitOptions *options) {
  (void)options;
  quit_requested = 0;
  uipriv_instance = GetModuleHandleW(NULL);
  const char *failed = init_common_controls();
  if (failed != NULL) return failed;
  if (!uipriv_register_window_class() || !uipriv_register_container_class() ||
      !uipriv_register_area_class()) {
    DWORD code = GetLastError();
    unregister_classes();
    return init_error("RegisterClassW", code);
  }
  /* Never shown: a message-only window has no screen presence at all. */
  parking = CreateWindowExW(0, UIPRIV_CONTAINER_CLASS, L"", WS_POPUP, 0, 0, 0,
                            0, HWND_MESSAGE, NULL, uipriv_instance, NULL);
  if (parking == NULL) {
    DWORD code = GetLastError();
    unregister_classes();
    return init_error("CreateWindowExW", code);
  }
  return NULL;
}

void uiUninit(void) {
  DestroyWindow(parking);
  parking = NULL;
  /* Hand out what the destroyed windows left queued, so that nothing of
   * them reaches a later toolkit. Bounded: a message that keeps coming
   * back is not waited for. */
  MSG msg;
  for (int i = 0; i < 10000 && PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE); i++) {
    if (msg.message == WM_QUIT) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  unregister_classes();
  quit_requested = 0;
}

void uiFreeInitError(const char *err) { free((void *)err); }

void uiMainSteps(void) { quit_requested = 0; }

int uiMainStep(int wait) {
  if (quit_requested) return 0;
  MSG msg;
  if (wait) {
    BOOL got = GetMessageW(&msg, NULL, 0, 0);
    if (got == -1) return 1;
    if (got == 0) msg.message = WM_QUIT;
  } else if (!PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE)) {
    return 1;
  }
  if (msg.message == WM_QUIT) {
    /* Someone posted a quit (PostQuitMessage): the loop ends as with
     * uiQuit(). */
    quit_requested = 1;
    return 0;
  }
  TranslateMessage(&msg);
  DispatchMessageW(&msg);
  return quit_requested ? 0 : 1;
}

void uiQuit(void) { quit_requested = 1; }

int uiMainStepTimeout(int milliseconds) {
  if (quit_requested) return 0;
  if (milliseconds > 0) {
    /* Sleeps until input or a posted or sent message arrives (a wake is a
     * posted message), or the time is up; returns at once when the queue
     * already holds one. One call: under Wine each is a round trip to the
     * wineserver. */
    MsgWaitForMultipleObjectsEx(0, NULL, (DWORD)milliseconds, QS_ALLINPUT,
                                MWMO_INPUTAVAILABLE);
  }
  return uiMainStep(0);
}

void uiWakeMain(void) {
  HWND target = parking;
  /* Any message ends the wait; the parking window ignores this one. */
  if (target != NULL) PostMessageW(target, WM_NULL, 0, 0);
}

void uiFreeText(char *text) { free(text); }

char *uipriv_to_utf8(const WCHAR *text) {
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, NULL, 0, NULL, NULL);
  if (n <= 0) abort();
  char *out = malloc((size_t)n);
  if (out == NULL) abort();
  if (WideCharToMultiByte(CP_UTF8, 0, text, -1, out, n, NULL, NULL) != n)
    abort();
  return out;
}

WCHAR *uipriv_to_utf16(const char *text) {
  int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, NULL, 0);
  if (n <= 0) abort();
  WCHAR *out = malloc((size_t)n * sizeof *out);
  if (out == NULL) abort();
  if (MultiByteToWideChar(CP_UTF8, 0, text, -1, out, n) != n) abort();
  return out;
}

void uipriv_user_bug(const char *before, long number, const char *after) {
  size_t n = strlen(before);
  if (n > 0 && before[n - 1] == '%') {
    char digits[24];
    fwrite(before, 1, n - 1, stderr);
    fputs(uipriv_decimal(digits, number), stderr);
  } else {
    fputs(before, stderr);
  }
  fputs(after, stderr);
  fputc('\n', stderr);
  fflush(stderr);
  abort();
}
