#include "main/handoff.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <system_error>

#include "main/process.h"

namespace talvoro {

namespace fs = std::filesystem;

std::string PathInCurrentDir(std::string_view name) {
  std::error_code ec;
  fs::path dir = fs::current_path(ec);
  if (ec) return std::string(name);
  return (dir / name).string();
}

namespace {

// Deletes `path`; on failure prints `what` and the system's text.
void DeleteReporting(const std::string& path, const char* what) {
  if (unlink(path.c_str()) != 0) {
    std::cerr << what << std::strerror(errno) << "\n" << std::flush;
  }
}

// Copies `from` to `to` (created or truncated) and flushes it to disk.
std::error_code CopyDurably(const std::string& from, const std::string& to) {
  std::error_code ec;
  fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
  if (ec) return ec;
  int fd = open(to.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {errno, std::generic_category()};
  int rc = fsync(fd);
  int saved = errno;
  close(fd);
  if (rc != 0) return {saved, std::generic_category()};
  return {};
}

// Puts a whole copy of `target` at `launcher`, or leaves `launcher` as it
// was. Returns the error of the step that failed.
std::string PlaceLauncher(const std::string& target,
                          const std::string& launcher) {
  const std::string temp = PathInCurrentDir(kLauncherTempName);
  if (std::error_code ec = CopyDurably(target, temp)) {
    unlink(temp.c_str());
    return ec.message();
  }
  if (Status s = MakeExecutable(temp); !s) {
    unlink(temp.c_str());
    return s.error().message;
  }
  if (rename(temp.c_str(), launcher.c_str()) != 0) {
    std::string message = std::strerror(errno);
    unlink(temp.c_str());
    return message;
  }
  return {};
}

}  // namespace

void CleanUpDownload() {
  DeleteReporting(PathInCurrentDir(kTargetFileName), "删除文件失败: ");
  DeleteReporting(PathInCurrentDir(kEtagFileName), "删除ETag文件失败: ");
}

void InstallAndStartLauncher() {
  const std::string target = PathInCurrentDir(kTargetFileName);
  const std::string launcher = PathInCurrentDir(kLauncherName);

  struct stat st;
  if (lstat(launcher.c_str(), &st) == 0) {
    DeleteReporting(launcher, "Failed to delete existing file: ");
  }
  if (std::string error = PlaceLauncher(target, launcher); !error.empty()) {
    std::cerr << "Failed to copy file: " << error << "\n" << std::flush;
  }
  if (Status s = StartDetachedProcess(launcher); s) {
    std::cout << "Setup executable started successfully\n" << std::flush;
  } else {
    std::cerr << "Failed to start setup executable: " << s.error().message
              << "\n"
              << std::flush;
  }
}

}  // namespace talvoro
