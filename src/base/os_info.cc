#include "base/os_info.h"

namespace talvoro {

const char* ProgramVersion() { return TALVORO_VERSION; }

const char* ArchitectureName() {
#if defined(__x86_64__) || defined(_M_X64)
  return "x86_64";
#elif defined(__aarch64__) || defined(_M_ARM64)
  return "arm64";
#elif defined(__i386__) || defined(_M_IX86)
  return "x86";
#else
  return "arm";
#endif
}

}  // namespace talvoro
