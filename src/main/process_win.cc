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
  // Some system components load these by bare name in ways that do not
  // honour the default directories (comctl32's start loads uxtheme so,
  // which is why the window toolkit loads comctl32 only later). Loaded now
  // from System32, they are already in the process when such a load comes,
  // and the loader hands out the loaded copy. A name the system does not
  // have is left alone; none is ever freed.
  static const wchar_t* const kLoadedByName[] = {
      L"uxtheme.dll", L"dwmapi.dll",  L"version.dll", L"cryptbase.dll",
      L"cryptsp.dll", L"userenv.dll", L"propsys.dll", L"oleacc.dll",
      L"apphelp.dll", L"profapi.dll", L"clbcatq.dll", L"comres.dll",
      L"setupapi.dll"};
  for (const wchar_t* name : kLoadedByName) {
    LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  }
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
