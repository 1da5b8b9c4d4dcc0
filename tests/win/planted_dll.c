/* A DLL that no program of the build may ever load: the tests plant copies
 * of it, named like system DLLs, beside the program and in its working
 * folder. A process that loads it leaves a file named after the copy
 * ("secur32.dll", ...) in the folder that the variable
 * TALVORO_PLANTED_MARKS names (an absolute path), holding one line per load
 * with the path of the process's program. It exports nothing; DllMain
 * returns TRUE, so that a process goes on and loads whatever else it would
 * load. */
#include <windows.h>

/* Appends `text` (UTF-16) and a line feed to `file` in UTF-8. */
static void AppendLine(HANDLE file, const wchar_t* text) {
  char line[MAX_PATH * 6];
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, line, sizeof line - 1, NULL,
                              NULL);
  if (n <= 0) return;
  line[n - 1] = '\n';
  DWORD written;
  WriteFile(file, line, (DWORD)n, &written, NULL);
}

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  wchar_t mark[MAX_PATH * 2];
  DWORD n = GetEnvironmentVariableW(L"TALVORO_PLANTED_MARKS", mark, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return TRUE;
  wchar_t own[MAX_PATH], program[MAX_PATH];
  DWORD own_length = GetModuleFileNameW(self, own, MAX_PATH);
  if (own_length == 0 || own_length >= MAX_PATH) return TRUE;
  if (!GetModuleFileNameW(NULL, program, MAX_PATH)) program[0] = L'\0';
  const wchar_t* name = own;
  for (const wchar_t* p = own; *p; p++) {
    if (*p == L'\\' || *p == L'/') name = p + 1;
  }
  lstrcatW(mark, L"\\");
  lstrcatW(mark, name);
  HANDLE file =
      CreateFileW(mark, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return TRUE;
  AppendLine(file, program);
  CloseHandle(file);
  return TRUE;
}
