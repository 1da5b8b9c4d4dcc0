#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "main/instance.h"

namespace talvoro {

bool ClaimFolder(const std::string& folder) {
  // Held open (and locked) until the process ends; close-on-exec, so the
  // launcher does not keep the lock after the bootstrap has ended.
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return true;
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
  const bool held_elsewhere = errno == EWOULDBLOCK;
  ::close(fd);
  return !held_elsewhere;
}

// X11 gives no way to raise another client's window without a window
// manager.
void BringRunningCopyForward(const std::string&) {}

}  // namespace talvoro
