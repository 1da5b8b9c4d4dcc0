#include "main/app.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <thread>
#include <utility>

#include "base/file.h"
#include "base/report.h"
#include "download/connection_ahead.h"
#include "download/download.h"
#include "download/executor.h"
#include "download/integrity.h"
#include "download/text.h"
#include "main/handoff.h"
#include "main/instance.h"
#include "main/launcher_signature.h"
#include "main/process.h"
#include "main/working_files.h"
#include "ui/src/fatal.h"
#include "ui/src/png_image.h"
#include "ui/src/progress_window.h"
#include "ui/src/splash.h"
#include "ui/src/taskbar.h"
#include "ui/src/ui.h"

namespace talvoro {

void PollStep(DownloadStatus& status, PollState& state,
              const PollActions& actions,
              std::chrono::steady_clock::time_point now) {
  if (state.restart_at) {
    if (now < *state.restart_at) return;
    state.restart_at.reset();
    if (!state.keep_percent) actions.set_bar(0);
    status.Restart(state.keep_percent);
    actions.start_download();
    return;
  }
  const DownloadStatus::Snapshot current = status.Read();
  auto retry = [&](bool keep_percent) {
    const std::chrono::milliseconds pause = state.schedule.NextPause(
        current.phase, status.Received(), current.retry_after);
    actions.pause(pause);
    state.keep_percent = keep_percent;
    state.restart_at = now + pause;
    if (pause.count() == 0) PollStep(status, state, actions, now);
  };
  switch (current.phase) {
    case kDownloading:
      actions.set_bar(std::min<int>(current.percent, 100));
      break;
    case kDownloaded:
      actions.set_bar(100);
      status.SetPhase(kHandOff);
      break;
    case kChecksumFailed:
    case kDownloadFailed:
      actions.clean_up();
      retry(/*keep_percent=*/false);
      break;
    case kDownloadInterrupted:
      // The partial file stays; the bar stays where it is and the next
      // attempt resumes from the bytes on disk.
      retry(/*keep_percent=*/true);
      break;
    case kPublicationRejected:
      // Nothing was written: nothing to clean up.
      retry(/*keep_percent=*/false);
      break;
    case kHandOff:
      actions.hand_off();
      break;
  }
}

namespace {

asio::awaitable<void> DownloadTask(std::string url, std::string folder,
                                   DownloadStatusRef status,
                                   DownloadOptions options) {
  const std::string target = folder + kTargetFileName;
  const std::string sidecar = folder + kEtagFileName;
  const std::shared_ptr<PublicationMemory> publications = options.publications;
  Result<std::optional<uint64_t>> result =
      co_await Download(url, target, sidecar, status, std::move(options));
  if (!result.ok()) {
    const Error& error = result.error();
    PrintErr("下载失败: " + error.message + "\n");
    // A cut link, a full disk or a busy server (500, 502, 503, 504, 429:
    // nothing says the file changed) leaves good bytes on disk for the
    // next attempt; anything else throws them away. A refused publication
    // wrote nothing.
    const bool keep = error.kind == ErrorKind::kNetwork ||
                      error.kind == ErrorKind::kNoSpace ||
                      error.cause == Cause::kServerBusy;
    status->SetPhase(error.kind == ErrorKind::kRejected ? kPublicationRejected
                     : keep                             ? kDownloadInterrupted
                                                        : kDownloadFailed,
                     error.retry_after);
    co_return;
  }
  // The refusal is on record before the poll step can see the phase and
  // start the next attempt.
  CheckIntegrity(target, *result, *status, [&publications] {
    if (publications) publications->NoteCheckFailed();
  });
}

}  // namespace

void StartDownloadTask(const std::string& url, const std::string& folder,
                       DownloadStatusRef status, DownloadOptions options) {
  SpawnDetached(
      DownloadTask(url, folder, std::move(status), std::move(options)));
}

namespace {

// Ends the program (exit code 0) with one line on stderr, before anything
// is downloaded, when a working file's path in `folder` would be longer
// than the system takes: the download could be made but the launcher never
// started.
void RefuseTooLongFolder(const std::string& folder) {
  std::string longest;
  for (const char* name :
       {kTargetFileName, kEtagFileName, kLauncherName, kLauncherTempName}) {
    if (std::string path = folder + name; path.size() > longest.size()) {
      longest = std::move(path);
    }
  }
  if (PathLength(longest) <= MaxPathLength()) return;
  PrintErr(std::string(kFolderTooLongPrefix) + folder + " (" +
           std::to_string(PathLength(longest)) + " characters with " +
           longest.substr(folder.size()) + ", at most " +
           std::to_string(MaxPathLength()) + ")\n");
  EndProcess(0);
}

// Start-up failures are fatal: the program cannot show its window.
template <typename T>
T Unwrap(Result<T> result) {
  if (!result.ok()) {
    ui::Fatal(std::string(ui::kUnwrapFailed) + ": " + result.error().message);
  }
  return std::move(result).value();
}

}  // namespace

namespace {

// The folder the program was started in, where its working files live,
// ending with kPathSeparator. Ends the program (exit code 0) when a working
// file's path there is too long or another copy works there.
std::string ClaimWorkingFolder() {
  const std::string folder = PathInCurrentDir("");
  RefuseTooLongFolder(folder);
  if (!ClaimFolder(folder)) {
    // The line first: whatever becomes of the other copy's window, this
    // copy says why it ends.
    PrintOut(kAlreadyRunningLine);
    BringRunningCopyForward(std::string(ui::kWindowTitle));
    EndProcess(0);
  }
  return folder;
}

// What the actions of one run share. Lives as long as the run (the whole
// process); the actions refer to it.
struct Run {
  std::string url;
  std::string folder;
  DownloadOptions options;
  HandOffOptions hand_off;
  // A close request seen while the hand-off waited.
  bool closed_in_hand_off = false;
  DownloadStatusRef status = std::make_shared<DownloadStatus>();
  int shown_percent = 0;
};

// Puts the verified launcher in place and starts it, then ends the
// program; a launcher refused by the signature check goes back to the
// poll step as a CRC mismatch.
void HandOff(Run& run, uiWindow* window) {
  if (!InstallAndStartLauncher(run.hand_off)) {
    if (run.closed_in_hand_off) EndProcess(0);
    // Refused by the signature check: as after a CRC mismatch, the files go
    // and the next attempt comes after a pause; the same publication is not
    // downloaded again.
    run.options.publications->RejectLastDownloaded();
    run.status->SetPhase(kChecksumFailed);
    return;
  }
  std::this_thread::sleep_for(kHandOffPause);
  ui::HideWindow(window);
  EndProcess(0);
}

// The poll step's actions on `window`, its taskbar button and the working
// folder. `run`, `window` and `taskbar` must outlive them.
PollActions ActionsOf(Run& run, const ui::ProgressWindow& window,
                      ui::Taskbar& taskbar) {
  return PollActions{
      .set_bar =
          [&run, &window, &taskbar](int value) {
            window.bar->SetPercent(value);
            run.shown_percent = value;
            taskbar.Show(run.status->LengthKnown()
                             ? ui::TaskbarState::kNormal
                             : ui::TaskbarState::kIndeterminate,
                         value);
          },
      .start_download =
          [&run] {
            StartDownloadTask(run.url, run.folder, run.status, run.options);
          },
      .clean_up = [&run] { CleanUpDownload(run.folder); },
      // A retry pause after a failure: the taskbar button says so, the
      // log has its length.
      .pause =
          [&run, &taskbar](std::chrono::milliseconds pause) {
            taskbar.Show(ui::TaskbarState::kError, run.shown_percent);
            ReporterOr(run.options.connection.reporter)
                .Detail("retry pause " + std::to_string(pause.count()) + " ms");
          },
      .hand_off = [&run, &window] { HandOff(run, window.window); },
  };
}

}  // namespace

void RunBootstrap(const std::string& url, const DownloadOptions& defaults,
                  std::string_view launcher_signers) {
  PrepareProcess();
  Run run;
  run.url = url;
  run.options = defaults;
  // One memory of refused publications for all the attempts of this run.
  if (!run.options.publications) {
    run.options.publications = std::make_shared<PublicationMemory>();
  }
  run.options.connection.open_next_ahead = true;
  run.hand_off.signers = Unwrap(ParseSignerList(launcher_signers));
  // The window goes on handling its messages while the hand-off waits for
  // a launcher that another program holds; a close seen then is kept.
  run.hand_off.pause = [&run](std::chrono::milliseconds pause) {
    if (!ui::HandleMessagesFor(pause)) run.closed_in_hand_off = true;
  };
  // One copy works in the folder at a time.
  run.folder = ClaimWorkingFolder();
  run.hand_off.folder = run.folder;
  // The first HEAD's connection and its GET's are made while the window is
  // built; the HEAD goes out when the download starts. The first attempt
  // owns them: one it does not use is closed when it ends.
  DownloadOptions first = run.options;
  if (Result<ParsedUrl> parsed = ParseUrl(run.url); parsed.ok()) {
    first.connection.ahead =
        ConnectionAhead::Open(*parsed, first.connection, /*with_next=*/true);
  }

  auto picture = std::make_shared<const ui::RgbaImage>(
      Unwrap(ui::DecodePng(ui::SplashPng())));
  ui::UI toolkit = Unwrap(ui::StartToolkit());
  ui::ProgressWindow window = Unwrap(ui::ShowProgressWindow(toolkit, picture));
  const std::unique_ptr<ui::Taskbar> taskbar = ui::TaskbarOf(window.window);

  StartDownloadTask(run.url, run.folder, run.status, std::move(first));
  const PollActions actions = ActionsOf(run, window, *taskbar);
  PollState poll;
  ui::RunMessageLoop([&] {
    PollStep(*run.status, poll, actions, std::chrono::steady_clock::now());
    return ui::kTickInterval;
  });

  // The window was closed. A download still running ends with the process;
  // the files on disk stay for the next run.
  EndProcess(0);
}

}  // namespace talvoro
