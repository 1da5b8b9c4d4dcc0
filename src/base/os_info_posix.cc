#include <sys/utsname.h>

#include "base/os_info.h"

namespace talvoro {

std::string OsDescription() {
  struct utsname name;
  if (uname(&name) != 0) return "Linux";
  return std::string(name.sysname) + " " + name.release;
}

}  // namespace talvoro
