#include "main/handoff.h"

#include "base/file.h"
#include "download/text.h"
#include "main/process.h"

namespace talvoro {

std::string PathInCurrentDir(std::string_view name) {
  Result<std::string> dir = CurrentDirectory();
  if (!dir.ok()) return std::string(name);
  std::string path = std::move(dir).value();
  if (path.empty() || path.back() != kPathSeparator) path += kPathSeparator;
  return path.append(name);
}

namespace {

// Deletes `path`; on failure prints `what` and the system's text.
void DeleteReporting(const std::string& path, const std::string& what) {
  if (Status s = RemoveFile(path); !s) {
    PrintErr(what + s.error().message + "\n");
  }
}

// Puts a whole copy of `target` at `launcher`, or leaves `launcher` as it
// was. Returns the error of the step that failed.
std::string PlaceLauncher(const std::string& target,
                          const std::string& launcher) {
  const std::string temp = PathInCurrentDir(kLauncherTempName);
  Status placed = CopyFileDurably(target, temp);
  if (placed) placed = MakeExecutable(temp);
  if (placed) placed = MoveReplacing(temp, launcher);
  if (!placed) {
    (void)RemoveFile(temp);
    return placed.error().message;
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

  if (PathExists(launcher)) {
    DeleteReporting(launcher, "Failed to delete existing file: ");
  }
  if (std::string error = PlaceLauncher(target, launcher); !error.empty()) {
    PrintErr("Failed to copy file: " + error + "\n");
  }
  if (Status s = StartDetachedProcess(launcher); s) {
    PrintOut("Setup executable started successfully\n");
  } else {
    PrintErr("Failed to start setup executable: " + s.error().message + "\n");
  }
}

}  // namespace talvoro
