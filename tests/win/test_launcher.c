/* The launcher that the tests publish. Each time it runs it appends one line
 * to "launcher-ran.txt" in its current directory:
 *
 *   started <SHA-256 of its own file, lowercase hex>
 *
 * followed by " mark=<value>" when the variable TALVORO_LAUNCHER_MARK is set
 * (its value in UTF-8), so that a test sees which bytes were started and
 * which environment the launcher got. Test launchers of a given size are
 * this program with bytes appended: the loader ignores them, the hash
 * covers them.
 *
 * Exits 0 once the line is written, 1 when its file cannot be read or
 * hashed, 2 when the line cannot be written. */
// windows.h first: the other headers use its types.
// clang-format off
#include <windows.h>
#include <bcrypt.h>
#include <stdio.h>
// clang-format on

/* Reads the whole of `path` into a buffer from HeapAlloc that the caller
 * frees; NULL on failure. */
static BYTE* ReadAll(const wchar_t* path, DWORD* size) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL,
                            OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) return NULL;
  LARGE_INTEGER length;
  BYTE* data = NULL;
  if (GetFileSizeEx(file, &length) && length.QuadPart < (1LL << 31)) {
    *size = (DWORD)length.QuadPart;
    data = HeapAlloc(GetProcessHeap(), 0, *size ? *size : 1);
    DWORD done = 0;
    if (data && !(ReadFile(file, data, *size, &done, NULL) && done == *size)) {
      HeapFree(GetProcessHeap(), 0, data);
      data = NULL;
    }
  }
  CloseHandle(file);
  return data;
}

/* SHA-256 of `data` into `digest`; nonzero on success. */
static int Sha256(const BYTE* data, DWORD size, BYTE digest[32]) {
  BCRYPT_ALG_HANDLE alg;
  if (BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, NULL, 0))
    return 0;
  NTSTATUS status = BCryptHash(alg, NULL, 0, (PUCHAR)data, size, digest, 32);
  BCryptCloseAlgorithmProvider(alg, 0);
  return status == 0;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR command,
                    int show) {
  (void)instance, (void)previous, (void)command, (void)show;
  wchar_t self[MAX_PATH * 2];
  DWORD n = GetModuleFileNameW(NULL, self, sizeof self / sizeof self[0]);
  if (n == 0 || n >= sizeof self / sizeof self[0]) return 1;
  DWORD size = 0;
  BYTE* data = ReadAll(self, &size);
  BYTE digest[32];
  int hashed = data && Sha256(data, size, digest);
  if (data) HeapFree(GetProcessHeap(), 0, data);
  if (!hashed) return 1;

  char line[4096];
  int len = sprintf(line, "started ");
  for (int i = 0; i < 32; i++) len += sprintf(line + len, "%02x", digest[i]);
  wchar_t mark[1024];
  DWORD m = GetEnvironmentVariableW(L"TALVORO_LAUNCHER_MARK", mark,
                                    sizeof mark / sizeof mark[0]);
  if (m > 0 && m < sizeof mark / sizeof mark[0]) {
    len += sprintf(line + len, " mark=");
    int k = WideCharToMultiByte(CP_UTF8, 0, mark, (int)m, line + len,
                                (int)sizeof line - len - 2, NULL, NULL);
    if (k <= 0) return 2;
    len += k;
  }
  line[len++] = '\n';

  HANDLE out = CreateFileW(L"launcher-ran.txt", FILE_APPEND_DATA,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (out == INVALID_HANDLE_VALUE) return 2;
  DWORD written = 0;
  BOOL ok =
      WriteFile(out, line, (DWORD)len, &written, NULL) && written == (DWORD)len;
  CloseHandle(out);
  return ok ? 0 : 2;
}
