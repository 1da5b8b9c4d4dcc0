#include "main/handoff.h"

#include <optional>
#include <thread>

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

// `folder`, or the current directory (read now) when it is empty.
std::string WorkingFolder(const std::string& folder) {
  return folder.empty() ? PathInCurrentDir("") : folder;
}

// Between two tries of a step that another program blocks.
constexpr std::chrono::milliseconds kBusyRetryPause{100};

// Deletes `path`; on failure prints `what` and the system's text.
void DeleteReporting(const std::string& path, const std::string& what,
                     Reporter& report) {
  if (Status s = RemoveFile(path); !s) {
    report.Line(Stream::kErr, what + FileErrorText(s.error()) + "\n");
  }
}

// The launcher's replacement: its steps are tried again while another
// program holds the launcher, until a common deadline.
class Replacement {
 public:
  explicit Replacement(const HandOffOptions& options)
      : options_(options),
        deadline_(std::chrono::steady_clock::now() + options.busy_limit) {}

  // Runs `step` on `path` until it succeeds, fails for another reason than
  // the file being in use, or the deadline has passed.
  template <typename Step>
  Status Try(const std::string& path, Step step) {
    for (;;) {
      Status done = step();
      if (done || !IsFileInUse(path, done.error()) ||
          std::chrono::steady_clock::now() >= deadline_) {
        return done;
      }
      if (options_.pause) {
        options_.pause(kBusyRetryPause);
      } else {
        std::this_thread::sleep_for(kBusyRetryPause);
      }
    }
  }

  // Deletes the launcher if there is one; on failure prints
  // "Failed to delete existing file: " and the system's text.
  void DeleteLauncher(const std::string& launcher) {
    if (!PathExists(launcher)) return;
    if (Status s = Try(launcher, [&] { return RemoveFile(launcher); }); !s) {
      ReporterOr(options_.reporter)
          .Line(Stream::kErr, "Failed to delete existing file: " +
                                  FileErrorText(s.error()) + "\n");
    }
  }

  // Moves `temp` over the launcher.
  Status MoveInPlace(const std::string& temp, const std::string& launcher) {
    return Try(launcher, [&] { return MoveReplacing(temp, launcher); });
  }

 private:
  const HandOffOptions& options_;
  const std::chrono::steady_clock::time_point deadline_;
};

// Copies `target` to `temp`, whole and flushed, and makes it executable.
Status Stage(const std::string& target, const std::string& temp) {
  Status staged = CopyFileDurably(target, temp);
  if (staged) staged = MakeExecutable(temp);
  return staged;
}

void StartReporting(const std::string& launcher, Reporter& report) {
  if (Status s = StartDetachedProcess(launcher); s) {
    report.Line(Stream::kOut, "Setup executable started successfully\n");
  } else {
    report.Line(Stream::kErr, "Failed to start setup executable: " +
                                  s.error().message + "\n");
  }
}

// The file at `path` checked against `signers` and held; nullopt (and the
// reason printed) when it fails.
std::optional<HeldFile> CheckReporting(
    const std::string& path, const std::vector<KeyFingerprint>& signers,
    Reporter& report) {
  Result<HeldFile> held = CheckLauncherSignature(path, signers);
  if (!held.ok()) {
    report.Line(Stream::kErr,
                kSignatureFailedPrefix + held.error().message + "\n");
    return std::nullopt;
  }
  report.Detail("signature: " + path + " verified");
  return std::move(held).value();
}

// The hand-off when only signed launchers may start.
bool InstallAndStartSigned(const std::string& target,
                           const std::string& launcher, const std::string& temp,
                           const HandOffOptions& options) {
  Reporter& report = ReporterOr(options.reporter);
  Status staged = Stage(target, temp);
  std::optional<HeldFile> held;
  if (staged) {
    held = CheckReporting(temp, options.signers, report);
    if (!held) {
      (void)RemoveFile(temp);
      return false;
    }
    Replacement replacement(options);
    replacement.DeleteLauncher(launcher);
    staged = replacement.MoveInPlace(temp, launcher);
  }
  if (!staged) {
    held.reset();
    (void)RemoveFile(temp);
    report.Line(Stream::kErr,
                "Failed to copy file: " + FileErrorText(staged.error()) + "\n");
    // Whatever is left at the launcher path must pass the check too.
    if (PathExists(launcher)) {
      held = CheckReporting(launcher, options.signers, report);
      if (!held) return true;
    }
  }
  StartReporting(launcher, report);
  return true;
}

}  // namespace

void CleanUpDownload(const std::string& folder, Reporter* reporter) {
  const std::string in = WorkingFolder(folder);
  Reporter& report = ReporterOr(reporter);
  DeleteReporting(in + kTargetFileName, "删除文件失败: ", report);
  DeleteReporting(in + kEtagFileName, "删除ETag文件失败: ", report);
}

bool InstallAndStartLauncher(const HandOffOptions& options) {
  const std::string folder = WorkingFolder(options.folder);
  const std::string target = folder + kTargetFileName;
  const std::string launcher = folder + kLauncherName;
  const std::string temp = folder + kLauncherTempName;
  if (!options.signers.empty()) {
    return InstallAndStartSigned(target, launcher, temp, options);
  }

  Reporter& report = ReporterOr(options.reporter);
  // The copy is made beside the launcher before the launcher is touched: a
  // copy that cannot be made leaves the launcher as it was, to be started.
  Status placed = Stage(target, temp);
  if (placed) {
    Replacement replacement(options);
    replacement.DeleteLauncher(launcher);
    placed = replacement.MoveInPlace(temp, launcher);
  }
  if (!placed) {
    (void)RemoveFile(temp);
    report.Line(Stream::kErr,
                "Failed to copy file: " + FileErrorText(placed.error()) + "\n");
  }
  StartReporting(launcher, report);
  return true;
}

}  // namespace talvoro
