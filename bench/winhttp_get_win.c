/* winhttp_get URL FILE: the Windows benchmarks' peer for the download. It
 * fetches URL with the system's own HTTP stack (WinHTTP, TLS through
 * SChannel with the system's certificate checks), reading the body 256 KiB
 * at a time into FILE, the way a program written on WinHTTP would. Prints
 * "winhttp_get: <seconds> s" on standard error; exit code 0 when the whole
 * body of a 200 answer is in FILE, 1 otherwise. */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>
#include <winhttp.h>

#define READ_BYTES (256 * 1024)

static int Fail(const char* what) {
  fprintf(stderr, "winhttp_get: %s failed (%lu)\n", what, GetLastError());
  return 1;
}

/* Receives the answer of `request` into `file`: 0 on a whole 200 body. */
static int Receive(HINTERNET request, HANDLE file) {
  DWORD status = 0, size = sizeof status;
  if (!WinHttpReceiveResponse(request, NULL)) return Fail("receiving");
  if (!WinHttpQueryHeaders(
          request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
          WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
          WINHTTP_NO_HEADER_INDEX) ||
      status != 200) {
    fprintf(stderr, "winhttp_get: status %lu\n", status);
    return 1;
  }
  char* buffer = malloc(READ_BYTES);
  if (buffer == NULL) return Fail("malloc");
  int result = 1;
  for (;;) {
    DWORD got = 0, written = 0;
    if (!WinHttpReadData(request, buffer, READ_BYTES, &got)) {
      Fail("reading");
      break;
    }
    if (got == 0) {
      result = 0;
      break;
    }
    if (!WriteFile(file, buffer, got, &written, NULL) || written != got) {
      Fail("writing");
      break;
    }
  }
  free(buffer);
  return result;
}

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: winhttp_get URL FILE\n");
    return 1;
  }
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  wchar_t host[256], path[2048];
  URL_COMPONENTS url = {0};
  url.dwStructSize = sizeof url;
  url.lpszHostName = host;
  url.dwHostNameLength = ARRAYSIZE(host);
  url.lpszUrlPath = path;
  url.dwUrlPathLength = ARRAYSIZE(path);
  if (!WinHttpCrackUrl(argv[1], 0, 0, &url)) return Fail("reading the URL");
  HANDLE file = CreateFileW(argv[2], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return Fail("creating the file");
  HINTERNET session =
      WinHttpOpen(L"winhttp_get", WINHTTP_ACCESS_TYPE_NO_PROXY,
                  WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  HINTERNET connection =
      session ? WinHttpConnect(session, host, url.nPort, 0) : NULL;
  HINTERNET request =
      connection
          ? WinHttpOpenRequest(
                connection, L"GET", path, NULL, WINHTTP_NO_REFERER,
                WINHTTP_DEFAULT_ACCEPT_TYPES,
                url.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0)
          : NULL;
  int result = 1;
  if (request == NULL) {
    Fail("opening the request");
  } else if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                 WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
    Fail("sending");
  } else {
    result = Receive(request, file);
  }
  if (request) WinHttpCloseHandle(request);
  if (connection) WinHttpCloseHandle(connection);
  if (session) WinHttpCloseHandle(session);
  CloseHandle(file);
  QueryPerformanceCounter(&end);
  fprintf(stderr, "winhttp_get: %.3f s\n",
          (double)(end.QuadPart - start.QuadPart) / frequency.QuadPart);
  return result;
}
