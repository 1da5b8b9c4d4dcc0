#include <windows.h>

#include <map>
#include <mutex>
#include <string>

#include "base/system_library.h"
#include "base/win32_text.h"

namespace talvoro {

namespace {

Error LoadError(std::string what, DWORD code) {
  return Error{ErrorKind::kFile, std::move(what) + ": " + Win32ErrorText(code),
               static_cast<int>(code)};
}

}  // namespace

Result<void*> SystemFunction(const wchar_t* library, const char* function) {
  // Loaded modules stay loaded: nothing here is ever freed.
  static std::mutex mutex;
  static std::map<std::wstring, HMODULE> loaded;
  HMODULE module;
  {
    std::lock_guard<std::mutex> lock(mutex);
    auto found = loaded.find(library);
    if (found == loaded.end()) {
      HMODULE handle =
          LoadLibraryExW(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
      if (handle == nullptr) {
        // Taken before anything else can overwrite it.
        const DWORD code = GetLastError();
        return LoadError(
            "cannot load " + WideToUtf8(library) + " from the system folder",
            code);
      }
      found = loaded.emplace(library, handle).first;
    }
    module = found->second;
  }
  FARPROC address = GetProcAddress(module, function);
  if (address == nullptr) {
    const DWORD code = GetLastError();
    return LoadError(WideToUtf8(library) + " has no function " + function,
                     code);
  }
  return reinterpret_cast<void*>(address);
}

}  // namespace talvoro
