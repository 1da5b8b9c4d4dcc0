// The file operations on POSIX systems.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>

#include "base/file.h"

namespace talvoro {

namespace {

// The error of the system call that just failed on `path`.
Error LastError(std::string_view path) {
  const int code = errno;
  const bool full = code == ENOSPC || code == EDQUOT;
  return Error{full ? ErrorKind::kNoSpace : ErrorKind::kFile,
               std::strerror(code), code, std::string(path)};
}

std::string PathText(std::string_view path) { return std::string(path); }

}  // namespace

Result<File> File::Open(std::string_view path, OpenMode mode) {
  int flags = O_CLOEXEC;
  switch (mode) {
    case OpenMode::kRead:
      flags |= O_RDONLY;
      break;
    case OpenMode::kAppend:
      flags |= O_WRONLY | O_CREAT | O_APPEND;
      break;
    case OpenMode::kTruncate:
      flags |= O_WRONLY | O_CREAT | O_TRUNC;
      break;
  }
  const std::string name = PathText(path);
  int fd;
  do {
    fd = ::open(name.c_str(), flags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return LastError(path);
  if (mode == OpenMode::kRead) {
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  }
  return File(fd, name);
}

Result<uint64_t> File::Size() const {
  struct stat info;
  if (::fstat(static_cast<int>(handle_), &info) != 0) return LastError(path_);
  return static_cast<uint64_t>(info.st_size);
}

Result<size_t> File::Read(void* data, size_t size) {
  for (;;) {
    const ssize_t n = ::read(static_cast<int>(handle_), data, size);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) return LastError(path_);
  }
}

Status File::WriteAll(const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(static_cast<int>(handle_), p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastError(path_);
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return Status::Ok();
}

Status File::Truncate() {
  if (::ftruncate(static_cast<int>(handle_), 0) != 0) return LastError(path_);
  // Writes of a file opened for appending go to the new end anyway; the
  // others start at 0 again.
  if (::lseek(static_cast<int>(handle_), 0, SEEK_SET) < 0)
    return LastError(path_);
  return Status::Ok();
}

Status File::Sync() {
  if (::fsync(static_cast<int>(handle_)) != 0) return LastError(path_);
  return Status::Ok();
}

void File::Close() {
  if (handle_ != kClosed)
    ::close(static_cast<int>(std::exchange(handle_, kClosed)));
}

Status RemoveFile(std::string_view path) {
  if (::unlink(PathText(path).c_str()) != 0) return LastError(path);
  return Status::Ok();
}

Status TruncateFileIfPresent(std::string_view path) {
  if (::truncate(PathText(path).c_str(), 0) != 0 && errno != ENOENT) {
    return LastError(path);
  }
  return Status::Ok();
}

bool PathExists(std::string_view path) {
  struct stat info;
  return ::lstat(PathText(path).c_str(), &info) == 0;
}

Status CopyFileDurably(std::string_view from, std::string_view to) {
  std::error_code ec;
  std::filesystem::copy_file(PathText(from), PathText(to),
                             std::filesystem::copy_options::overwrite_existing,
                             ec);
  if (ec) {
    return Error{ErrorKind::kFile, ec.message(), ec.value(), std::string(to)};
  }
  Result<File> copy = File::Open(to, OpenMode::kRead);
  if (!copy.ok()) return std::move(copy).error();
  return copy->Sync();
}

Status MoveReplacing(std::string_view from, std::string_view to) {
  if (std::rename(PathText(from).c_str(), PathText(to).c_str()) != 0) {
    return LastError(to);
  }
  return Status::Ok();
}

Result<std::string> CurrentDirectory() {
  std::error_code ec;
  std::filesystem::path dir = std::filesystem::current_path(ec);
  if (ec) return Error{ErrorKind::kFile, ec.message(), ec.value()};
  return dir.string();
}

Result<uint64_t> FreeSpace(std::string_view folder) {
  struct statvfs info;
  if (::statvfs(PathText(folder).c_str(), &info) != 0) {
    return LastError(folder);
  }
  return static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
}

bool IsFileInUse(std::string_view, const Error&) { return false; }

size_t MaxPathLength() { return PATH_MAX - 1; }

size_t PathLength(std::string_view path) { return path.size(); }

}  // namespace talvoro
