#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "main/log.h"

namespace talvoro {

namespace {

Error SystemError(const std::string& what, const std::string& path) {
  const int code = errno;
  return Error{ErrorKind::kFile, what + " " + path + ": " + std::strerror(code),
               code, path};
}

bool Set(const char* value) { return value != nullptr && *value != '\0'; }

}  // namespace

Result<std::string> LogFolder() {
  if (const char* state = std::getenv("XDG_STATE_HOME"); Set(state)) {
    return std::string(state) + "/corvadelin/";
  }
  if (const char* home = std::getenv("HOME"); Set(home)) {
    return std::string(home) + "/.local/state/corvadelin/";
  }
  return FileError("neither XDG_STATE_HOME nor HOME is set");
}

namespace log_file {

Status MakeFolders(const std::string& folder) {
  for (size_t slash = folder.find('/', 1); slash != std::string::npos;
       slash = folder.find('/', slash + 1)) {
    const std::string part = folder.substr(0, slash);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      return SystemError("cannot create", part);
    }
  }
  return Status::Ok();
}

Result<intptr_t> OpenForAppend(const std::string& path) {
  const int fd =
      open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return SystemError("cannot open", path);
  return intptr_t{fd};
}

void Append(intptr_t handle, std::string_view data) {
  (void)!write(static_cast<int>(handle), data.data(), data.size());
}

uint64_t Size(intptr_t handle) {
  struct stat info;
  if (fstat(static_cast<int>(handle), &info) != 0) return 0;
  return static_cast<uint64_t>(info.st_size);
}

bool IsAt(intptr_t handle, const std::string& path) {
  struct stat open_file, named;
  return fstat(static_cast<int>(handle), &open_file) == 0 &&
         stat(path.c_str(), &named) == 0 && open_file.st_dev == named.st_dev &&
         open_file.st_ino == named.st_ino;
}

void Close(intptr_t handle) { close(static_cast<int>(handle)); }

unsigned long ProcessId() { return static_cast<unsigned long>(getpid()); }

}  // namespace log_file

}  // namespace talvoro
