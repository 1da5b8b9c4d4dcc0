// Functions of Windows DLLs that the loader does not always take from the
// system folder, loaded at run time from System32 only.
//
// A DLL imported by name is searched for in the program's own folder
// first, unless it is one of the system's known DLLs; a program started
// from a Downloads folder would load a planted copy. The program therefore
// imports only known DLLs (and comctl32, which its manifest binds) and
// reaches every other DLL through here.
#ifndef TALVORO_BASE_SYSTEM_LIBRARY_H_
#define TALVORO_BASE_SYSTEM_LIBRARY_H_

#include "base/error.h"

namespace talvoro {

// The address of `function` in `library` (a file name such as
// L"crypt32.dll"), loaded from System32 on first use and kept loaded for
// the life of the process. Thread-safe. Errors (kFile): "cannot load
// <library> from the system folder: <system text>" and "<library> has no
// function <function>: <system text>".
Result<void*> SystemFunction(const wchar_t* library, const char* function);

// SystemFunction with the function's type.
template <typename F>
Result<F*> SystemFunctionOf(const wchar_t* library, const char* function) {
  Result<void*> address = SystemFunction(library, function);
  if (!address.ok()) return std::move(address).error();
  return reinterpret_cast<F*>(*address);
}

}  // namespace talvoro

#endif  // TALVORO_BASE_SYSTEM_LIBRARY_H_
