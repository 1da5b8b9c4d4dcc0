/* Prints the text of the STATIC control inside a top-level window, read
 * with WM_GETTEXT as a screen reader reads it:
 *
 *   window_text.exe TITLE [IMAGE]
 *
 * TITLE is the window's exact title; with IMAGE (a path to an .exe), only
 * windows of processes started from that file are looked at. Writes the
 * text as UTF-8 and a line feed to standard output (only the line feed
 * while no text is shown).
 *
 * Exits 0 when the text was printed, 1 when no window matched, 3 when the
 * window has no STATIC control, 2 on a usage error. */
#include <wchar.h>
#include <windows.h>

typedef struct {
  const wchar_t* title;
  const wchar_t* image; /* full path, or NULL for any process */
  HWND window;
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

static BOOL CALLBACK VisitWindow(HWND hwnd, LPARAM param) {
  Search* search = (Search*)param;
  wchar_t title[256];
  int n = GetWindowTextW(hwnd, title, sizeof title / sizeof title[0]);
  if (n <= 0 || wcscmp(title, search->title) != 0) return TRUE;
  if (search->image && !OwnedBy(hwnd, search->image)) return TRUE;
  search->window = hwnd;
  return FALSE;
}

static BOOL CALLBACK VisitChild(HWND hwnd, LPARAM param) {
  wchar_t name[16];
  if (GetClassNameW(hwnd, name, sizeof name / sizeof name[0]) > 0 &&
      CompareStringOrdinal(name, -1, L"Static", -1, TRUE) == CSTR_EQUAL) {
    *(HWND*)param = hwnd;
    return FALSE;
  }
  return TRUE;
}

static void Write(const char* bytes, int n) {
  DWORD written;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes, (DWORD)n, &written, NULL);
}

int wmain(int argc, wchar_t** argv) {
  if (argc != 2 && argc != 3) return 2;
  wchar_t image[MAX_PATH * 2];
  Search search = {argv[1], NULL, NULL};
  if (argc == 3) {
    DWORD n =
        GetFullPathNameW(argv[2], sizeof image / sizeof image[0], image, NULL);
    if (n == 0 || n >= sizeof image / sizeof image[0]) return 2;
    search.image = image;
  }
  EnumWindows(VisitWindow, (LPARAM)&search);
  if (search.window == NULL) return 1;
  HWND text_control = NULL;
  EnumChildWindows(search.window, VisitChild, (LPARAM)&text_control);
  if (text_control == NULL) return 3;
  /* From another process, as an accessibility client asks it. */
  wchar_t text[1024];
  DWORD_PTR got = 0;
  if (!SendMessageTimeoutW(text_control, WM_GETTEXT,
                           sizeof text / sizeof text[0], (LPARAM)text,
                           SMTO_ABORTIFHUNG, 5000, &got))
    got = 0;
  text[got < sizeof text / sizeof text[0] ? got : 0] = L'\0';
  char utf8[4096];
  int n =
      WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, NULL, NULL);
  if (n > 1) Write(utf8, n - 1);
  Write("\n", 1);
  return 0;
}
