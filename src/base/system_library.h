// Functions of Windows DLLs that the loader does not always take from the
// system folder, loaded at run time from System32 only.
//
// A DLL imported by name is searched for in the program's own folder
// first, unless it is one of the system's known DLLs; a program started
// from a Downloads folder would load a planted copy. The program therefore
// imports only known DLLs and reaches every other DLL through here (the
// window toolkit loads comctl32 itself, bound by the manifest).
#ifndef TALVORO_BASE_SYSTEM_LIBRARY_H_
#define TALVORO_BASE_SYSTEM_LIBRARY_H_

#include <type_traits>
#include <utility>

#include "base/error.h"

namespace talvoro {

// The address of `function` in `library` (a bare file name such as
// L"crypt32.dll", never a path), loaded from System32 on first use, with
// its own dependencies from System32 too, and kept loaded for the life of
// the process. Thread-safe. Errors (kFile): "cannot load <library> from the
// system folder: <system text>" and "<library> has no function <function>:
// <system text>"; a library that failed to load is tried again on the next
// call.
Result<void*> SystemFunction(const wchar_t* library, const char* function);

// SystemFunction with the function's type. F is the function's type or a
// pointer to it: decltype(Fn), decltype(&Fn) or the headers' PFN typedefs,
// which name the function without referring to its import.
template <typename F>
Result<std::remove_pointer_t<F>*> SystemFunctionOf(const wchar_t* library,
                                                   const char* function) {
  using Function = std::remove_pointer_t<F>;
  static_assert(std::is_function_v<Function>, "F must name a function");
  Result<void*> address = SystemFunction(library, function);
  if (!address.ok()) return std::move(address).error();
  return reinterpret_cast<Function*>(*address);
}

}  // namespace talvoro

#endif  // TALVORO_BASE_SYSTEM_LIBRARY_H_
