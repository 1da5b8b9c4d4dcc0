#include <windows.h>

#include <cstdint>
#include <cwctype>

#include "base/win32_text.h"
#include "main/instance.h"

namespace talvoro {

namespace {

// Mutex names cannot hold a path (no backslashes after the namespace): the
// folder, case folded as Windows compares paths, is hashed (FNV-1a).
std::wstring MutexName(const std::string& folder) {
  uint64_t hash = 0xcbf29ce484222325ULL;
  for (wchar_t c : Utf8ToWide(folder)) {
    if (c == L'/') c = L'\\';
    hash = (hash ^ static_cast<uint64_t>(std::towlower(c))) * 0x100000001b3ULL;
  }
  std::wstring name = L"Local\\Talvoro.Bootstrap.0000000000000000";
  for (size_t i = name.size(); hash != 0; hash >>= 4) {
    name[--i] = L"0123456789abcdef"[hash & 15];
  }
  return name;
}

}  // namespace

bool ClaimFolder(const std::string& folder) {
  // Never closed: the system drops it when the process ends. Not
  // inheritable, so the launcher does not hold it.
  HANDLE mutex = CreateMutexW(nullptr, FALSE, MutexName(folder).c_str());
  if (mutex == nullptr) return true;
  if (GetLastError() != ERROR_ALREADY_EXISTS) return true;
  CloseHandle(mutex);
  return false;
}

void BringRunningCopyForward(const std::string& window_title) {
  // The user started this copy, so it may hand the foreground over. The
  // other copy's window may not exist yet, and its thread may be busy (the
  // hand-off's pause): ShowWindowAsync posts instead of waiting for it.
  if (HWND window = FindWindowW(nullptr, Utf8ToWide(window_title).c_str())) {
    ShowWindowAsync(window, SW_RESTORE);
    SetForegroundWindow(window);
  }
}

}  // namespace talvoro
