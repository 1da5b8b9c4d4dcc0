/* Asks a top-level window to close the way Alt+F4 does: posts WM_CLOSE to it.
 *
 *   close_window.exe TITLE [IMAGE]
 *   close_window.exe --text TITLE [IMAGE]
 *
 * With --text nothing is closed: the window's visible static text controls
 * are read (WM_GETTEXT, as a screen reader reads them) and their texts
 * printed in UTF-8, one a line; an empty or hidden one is left out.
 *
 * TITLE is the window's exact title. With IMAGE (a path to an .exe), only
 * windows of processes started from that file are asked: tests that run at
 * the same time on one desktop each start their own copy of the program.
 *
 * Exits 0 when WM_CLOSE was posted to (or the texts read from) at least one
 * window, 1 when no window matched, 2 on a usage error. */
#include <stdio.h>
#include <wchar.h>
#include <windows.h>

typedef struct {
  const wchar_t* title;
  const wchar_t* image; /* full path, or NULL for any process */
  int posted;
  int read_text; /* print the static texts instead of closing */
} Search;

/* Nonzero when the process that owns `hwnd` was started from `image`. */
static int OwnedBy(HWND hwnd, const wchar_t* image) {
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!process) return 0;
  wchar_t path[MAX_PATH * 2];
  DWORD size = sizeof path / sizeof path[0];
  int match = QueryFullProcessImageNameW(process, 0, path, &size) &&
              CompareStringOrdinal(path, -1, image, -1, TRUE) == CSTR_EQUAL;
  CloseHandle(process);
  return match;
}

/* Prints the text of `child` when it is a visible, non-empty static
 * control. */
static BOOL CALLBACK PrintStatic(HWND child, LPARAM param) {
  (void)param;
  wchar_t cls[64];
  wchar_t text[1024];
  if (!GetClassNameW(child, cls, sizeof cls / sizeof cls[0]) ||
      _wcsicmp(cls, L"Static") != 0 || !IsWindowVisible(child)) {
    return TRUE;
  }
  LRESULT n = SendMessageW(child, WM_GETTEXT, sizeof text / sizeof text[0],
                           (LPARAM)text);
  if (n <= 0) return TRUE;
  char utf8[4096];
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text, (int)n, utf8,
                                  sizeof utf8 - 1, NULL, NULL);
  if (bytes <= 0) return TRUE;
  utf8[bytes] = '\n';
  fwrite(utf8, 1, bytes + 1, stdout);
  return TRUE;
}

static BOOL CALLBACK Visit(HWND hwnd, LPARAM param) {
  Search* search = (Search*)param;
  wchar_t title[256];
  int n = GetWindowTextW(hwnd, title, sizeof title / sizeof title[0]);
  if (n <= 0 || wcscmp(title, search->title) != 0) return TRUE;
  if (search->image && !OwnedBy(hwnd, search->image)) return TRUE;
  if (search->read_text) {
    EnumChildWindows(hwnd, PrintStatic, 0);
    search->posted++;
  } else if (PostMessageW(hwnd, WM_CLOSE, 0, 0)) {
    search->posted++;
  }
  return TRUE;
}

int wmain(int argc, wchar_t** argv) {
  int read_text = argc > 1 && wcscmp(argv[1], L"--text") == 0;
  argc -= read_text;
  argv += read_text;
  if (argc != 2 && argc != 3) return 2;
  wchar_t image[MAX_PATH * 2];
  Search search = {argv[1], NULL, 0, read_text};
  if (argc == 3) {
    DWORD n =
        GetFullPathNameW(argv[2], sizeof image / sizeof image[0], image, NULL);
    if (n == 0 || n >= sizeof image / sizeof image[0]) return 2;
    search.image = image;
  }
  EnumWindows(Visit, (LPARAM)&search);
  return search.posted > 0 ? 0 : 1;
}
