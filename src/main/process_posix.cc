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

Status StartDetachedProcess(const std::string& path) {
  // posix_spawn reports a failed exec through its return value, so a
  // missing or non-executable launcher is an error here, not a dead child.
  char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
  pid_t pid = 0;
  int rc = posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, environ);
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
