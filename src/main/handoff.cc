#include "main/handoff.h"

#include <optional>

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

namespace {

void StartReporting(const std::string& launcher) {
  if (Status s = StartDetachedProcess(launcher); s) {
    PrintOut("Setup executable started successfully\n");
  } else {
    PrintErr("Failed to start setup executable: " + s.error().message + "\n");
  }
}

// The file at `path` checked against `signers` and held; nullopt (and the
// reason printed) when it fails.
std::optional<HeldFile> CheckReporting(
    const std::string& path, const std::vector<KeyFingerprint>& signers) {
  Result<HeldFile> held = CheckLauncherSignature(path, signers);
  if (!held.ok()) {
    PrintErr(kSignatureFailedPrefix + held.error().message + "\n");
    return std::nullopt;
  }
  return std::move(held).value();
}

// The hand-off when only signed launchers may start.
bool InstallAndStartSigned(const std::string& target,
                           const std::string& launcher,
                           const std::vector<KeyFingerprint>& signers) {
  const std::string temp = PathInCurrentDir(kLauncherTempName);
  Status staged = CopyFileDurably(target, temp);
  if (staged) staged = MakeExecutable(temp);
  std::optional<HeldFile> held;
  if (staged) {
    held = CheckReporting(temp, signers);
    if (!held) {
      (void)RemoveFile(temp);
      return false;
    }
    if (PathExists(launcher)) {
      DeleteReporting(launcher, "Failed to delete existing file: ");
    }
    staged = MoveReplacing(temp, launcher);
  }
  if (!staged) {
    held.reset();
    (void)RemoveFile(temp);
    PrintErr("Failed to copy file: " + staged.error().message + "\n");
    // Whatever is left at the launcher path must pass the check too.
    if (PathExists(launcher)) {
      held = CheckReporting(launcher, signers);
      if (!held) return true;
    }
  }
  StartReporting(launcher);
  return true;
}

}  // namespace

bool InstallAndStartLauncher(const std::vector<KeyFingerprint>& signers) {
  const std::string target = PathInCurrentDir(kTargetFileName);
  const std::string launcher = PathInCurrentDir(kLauncherName);
  if (!signers.empty()) {
    return InstallAndStartSigned(target, launcher, signers);
  }

  if (PathExists(launcher)) {
    DeleteReporting(launcher, "Failed to delete existing file: ");
  }
  if (std::string error = PlaceLauncher(target, launcher); !error.empty()) {
    PrintErr("Failed to copy file: " + error + "\n");
  }
  StartReporting(launcher);
  return true;
}

}  // namespace talvoro
