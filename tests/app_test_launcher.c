/* The launcher that app_test hands off to on Windows. It appends "started\n"
 * to "ran.txt" in its current folder, waits while a file "hold" is there (at
 * most 30 s), then appends "ended\n". Exits 0, or 1 when "ran.txt" cannot be
 * written. A GUI program, so that Wine opens no console for it. */
#include <windows.h>

/* Appends `line` to ran.txt; nonzero on success. */
static int Append(const char* line) {
  HANDLE out = CreateFileW(L"ran.txt", FILE_APPEND_DATA,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (out == INVALID_HANDLE_VALUE) return 0;
  DWORD len = (DWORD)lstrlenA(line), written = 0;
  BOOL ok = WriteFile(out, line, len, &written, NULL) && written == len;
  CloseHandle(out);
  return ok;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command,
                   int show) {
  (void)instance, (void)previous, (void)command, (void)show;
  if (!Append("started\n")) return 1;
  for (int i = 0;
       i < 300 && GetFileAttributesW(L"hold") != INVALID_FILE_ATTRIBUTES; i++) {
    Sleep(100);
  }
  return Append("ended\n") ? 0 : 1;
}
