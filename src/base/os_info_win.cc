#include <windows.h>

#include "base/os_info.h"

namespace talvoro {

std::string OsDescription() {
  // GetVersionEx answers what the manifest declares, not what runs; ntdll's
  // RtlGetVersion answers the truth. ntdll is in every process.
  using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  auto get = ntdll ? reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void*>(
                         GetProcAddress(ntdll, "RtlGetVersion")))
                   : nullptr;
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof info;
  if (get == nullptr || get(&info) != 0) return "Windows";
  return "Windows " + std::to_string(info.dwMajorVersion) + "." +
         std::to_string(info.dwMinorVersion) + "." +
         std::to_string(info.dwBuildNumber);
}

}  // namespace talvoro
