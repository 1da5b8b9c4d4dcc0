/* uiMsgBoxError: the system's modal message box. */
#include <stdlib.h>

#include "uipriv.h"

int uiMsgBoxError(uiWindow *parent, const char *title,
                  const char *description) {
  WCHAR *wtitle = uipriv_to_utf16(title);
  WCHAR *wtext = uipriv_to_utf16(description);
  HWND owner = parent != NULL ? uiControl(parent)->hwnd : NULL;
  /* Without an owner (before any window exists) the box is modal for the
   * whole program and comes to the front: the user started the program
   * and is looking for its answer. */
  UINT style = MB_OK | MB_ICONERROR | MB_SETFOREGROUND;
  if (owner == NULL) style |= MB_TASKMODAL;
  int answer = MessageBoxW(owner, wtext, wtitle, style);
  free(wtext);
  free(wtitle);
  return answer != 0;
}
