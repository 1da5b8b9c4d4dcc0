// Process creation and exit through the Win32 API.
#include <windows.h>

#include <cstdio>

#include "base/win32_text.h"
#include "main/process.h"

namespace talvoro {

void PrepareProcess() {
  // Without these, a DLL that the program or a system component (SSPI's
  // providers, DXGI's drivers) loads by name may come from the program's
  // folder or the working folder.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  SetDllDirectoryW(L"");
  SetSearchPathMode(BASE_SEARCH_PATH_ENABLE_SAFE_SEARCHMODE |
                    BASE_SEARCH_PATH_PERMANENT);
}

Status StartDetachedProcess(const std::string& path) {
  const std::wstring program = Utf8ToWide(path);
  // The command line holds the program's name alone (its argv[0]), quoted
  // for folders with blanks; CreateProcessW may write into it.
  std::wstring command_line = L"\"" + program + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr,
                      /*bInheritHandles=*/FALSE, /*dwCreationFlags=*/0,
                      /*lpEnvironment=*/nullptr,
                      /*lpCurrentDirectory=*/nullptr, &startup, &info)) {
    const DWORD code = GetLastError();
    return Error{ErrorKind::kFile, Win32ErrorText(code),
                 static_cast<int>(code)};
  }
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return Status::Ok();
}

// A copied file can be started as it is.
Status MakeExecutable(const std::string&) { return Status::Ok(); }

void EndProcess(int code) {
  std::fflush(nullptr);
  ::ExitProcess(static_cast<UINT>(code));
}

}  // namespace talvoro
