#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "main/process.h"

extern char** environ;

namespace talvoro {

void PrepareProcess() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      // open() takes the lowest free number, which is `fd`.
      const int opened = open("/dev/null", O_RDWR);
      if (opened != fd && opened >= 0) close(opened);
    }
  }
  signal(SIGPIPE, SIG_IGN);
}

Status StartDetachedProcess(const std::string& path) {
  // posix_spawn reports a failed exec through its return value, so a
  // missing or non-executable launcher is an error here, not a dead child.
  char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
  // An ignored signal stays ignored across exec: the launcher gets SIGPIPE
  // back at its default.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, path.c_str(), nullptr, &attributes, argv, environ);
  posix_spawnattr_destroy(&attributes);
  if (rc != 0) return FileError(std::strerror(rc));
  return Status::Ok();
}

Status MakeExecutable(const std::string& path) {
  if (chmod(path.c_str(), 0755) != 0) return FileError(std::strerror(errno));
  return Status::Ok();
}

void EndProcess(int code) {
  std::fflush(nullptr);
  _exit(code);
}

}  // namespace talvoro
