#include "main/app.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <thread>
#include <utility>

#include "base/file.h"
#include "base/os_info.h"
#include "base/report.h"
#include "download/connection_ahead.h"
#include "download/download.h"
#include "download/executor.h"
#include "download/integrity.h"
#include "download/proxy.h"
#include "download/text.h"
#include "main/handoff.h"
#include "main/instance.h"
#include "main/launcher_signature.h"
#include "main/log.h"
#include "main/process.h"
#include "main/working_files.h"
#include "ui/src/fatal.h"
#include "ui/src/png_image.h"
#include "ui/src/progress_window.h"
#include "ui/src/splash.h"
#include "ui/src/taskbar.h"
#include "ui/src/ui.h"

namespace talvoro {

std::string StatusLineAt(const DownloadStatus::Snapshot& current,
                         const PollState& state,
                         std::chrono::steady_clock::time_point now) {
  using std::chrono::seconds;
  if (state.restart_at) {
    const seconds left =
        std::chrono::ceil<seconds>(std::max(*state.restart_at - now, {}));
    return PauseLine(state.language, current.phase,
                     current.error ? &*current.error : nullptr, state.folder,
                     left.count());
  }
  if (current.phase == Phase::kDownloading &&
      now - current.last_byte_at >= kWaitingAfter) {
    return WaitingLine(state.language);
  }
  return {};
}

namespace {

// The poll step's reaction to the phase (see PollStep).
void Advance(DownloadStatus& status, PollState& state,
             const PollActions& actions,
             std::chrono::steady_clock::time_point now) {
  if (state.restart_at) {
    if (now < *state.restart_at) return;
    state.restart_at.reset();
    if (!state.keep_percent) actions.set_bar(0);
    status.Restart(state.keep_percent, now);
    actions.start_download();
    return;
  }
  const DownloadStatus::Snapshot current = status.Read();
  auto retry = [&](bool keep_percent) {
    const std::chrono::milliseconds pause = state.schedule.NextPause(
        current.phase, current.received,
        current.error ? current.error->retry_after : std::nullopt);
    actions.pause(pause);
    state.keep_percent = keep_percent;
    state.restart_at = now + pause;
    if (pause.count() == 0) Advance(status, state, actions, now);
  };
  switch (current.phase) {
    case Phase::kDownloading:
      actions.set_bar(std::min<int>(current.percent, 100));
      break;
    case Phase::kDownloaded:
      actions.set_bar(100);
      status.SetPhase(Phase::kHandOff);
      break;
    case Phase::kChecksumFailed:
    case Phase::kDownloadFailed:
      actions.clean_up();
      retry(/*keep_percent=*/false);
      break;
    case Phase::kDownloadInterrupted:
      // The partial file stays; the bar stays where it is and the next
      // attempt resumes from the bytes on disk.
      retry(/*keep_percent=*/true);
      break;
    case Phase::kPublicationRejected:
      // Nothing was written: nothing to clean up.
      retry(/*keep_percent=*/false);
      break;
    case Phase::kHandOff:
      actions.hand_off();
      break;
  }
}

// The time by which what StatusLineAt shows for `current` may change.
std::chrono::steady_clock::time_point NextChange(
    const DownloadStatus::Snapshot& current, const PollState& state,
    std::chrono::steady_clock::time_point now) {
  using std::chrono::seconds;
  if (state.restart_at) {
    // The countdown shows the seconds left rounded up: it changes when the
    // time left reaches a whole second.
    const auto left = *state.restart_at - now;
    const auto whole = std::chrono::floor<seconds>(left);
    const auto fraction = left - whole;
    return now + (fraction == decltype(left){} ? seconds(1) : fraction);
  }
  if (current.phase != Phase::kDownloading) return now;
  const auto waiting_at = current.last_byte_at + kWaitingAfter;
  return std::min(waiting_at > now ? waiting_at : now + kWaitingAfter,
                  now + kDownloadPollInterval);
}

// Shows the status line and the bar's error state where they changed.
void Show(const DownloadStatus::Snapshot& current, PollState& state,
          const PollActions& actions,
          std::chrono::steady_clock::time_point now) {
  const bool bar_error = state.restart_at.has_value();
  if (bar_error != state.bar_error) {
    state.bar_error = bar_error;
    if (actions.show_bar_error) actions.show_bar_error(bar_error);
  }
  std::string line = StatusLineAt(current, state, now);
  if (line != state.shown_status) {
    state.shown_status = std::move(line);
    if (actions.show_status) actions.show_status(state.shown_status);
  }
  state.due = std::max(NextChange(current, state, now), now);
}

}  // namespace

void PollStep(DownloadStatus& status, PollState& state,
              const PollActions& actions,
              std::chrono::steady_clock::time_point now) {
  Advance(status, state, actions, now);
  Show(status.Read(), state, actions, now);
}

namespace {

asio::awaitable<void> DownloadTask(std::string url, std::string folder,
                                   DownloadStatusRef status,
                                   DownloadOptions options) {
  const std::string target = folder + kTargetFileName;
  const std::string sidecar = folder + kEtagFileName;
  const std::shared_ptr<PublicationMemory> publications = options.publications;
  Reporter* const reporter = options.connection.reporter;
  Result<std::optional<uint64_t>> result =
      co_await Download(url, target, sidecar, status, std::move(options));
  Reporter& report = ReporterOr(reporter);
  if (!result.ok()) {
    Error error = std::move(result).error();
    if (error.os_error != 0) {
      report.Detail("error code: " + std::to_string(error.os_error));
    }
    report.Line(Stream::kErr, "下载失败: " + error.message + "\n");
    // A cut link, a full disk or a busy server (500, 502, 503, 504, 429:
    // nothing says the file changed) leaves good bytes on disk for the
    // next attempt; anything else throws them away. A refused publication
    // wrote nothing.
    const bool keep = error.kind == ErrorKind::kNetwork ||
                      error.kind == ErrorKind::kNoSpace ||
                      error.cause == Cause::kServerBusy;
    const Phase phase = error.kind == ErrorKind::kRejected
                            ? Phase::kPublicationRejected
                        : keep ? Phase::kDownloadInterrupted
                               : Phase::kDownloadFailed;
    status->Fail(phase, std::move(error));
    co_return;
  }
  // The refusal is on record before the poll step can see the phase and
  // start the next attempt.
  CheckIntegrity(
      target, *result, *status,
      [&publications] {
        if (publications) publications->NoteCheckFailed();
      },
      reporter);
}

}  // namespace

void StartDownloadTask(const std::string& url, const std::string& folder,
                       DownloadStatusRef status, DownloadOptions options) {
  SpawnDetached(
      DownloadTask(url, folder, std::move(status), std::move(options)));
}

namespace {

// Ends the program (exit code 0), before anything is downloaded, when a
// working file's path in `folder` would be longer than the system takes:
// the download could be made but the launcher never started. The line goes
// to stderr and the log, and the user sees it in a message box.
void RefuseTooLongFolder(const std::string& folder, Reporter& report) {
  std::string longest;
  for (const char* name :
       {kTargetFileName, kEtagFileName, kLauncherName, kLauncherTempName}) {
    if (std::string path = folder + name; path.size() > longest.size()) {
      longest = std::move(path);
    }
  }
  if (PathLength(longest) <= MaxPathLength()) return;
  report.Line(Stream::kErr, std::string(kFolderTooLongPrefix) + folder + " (" +
                                std::to_string(PathLength(longest)) +
                                " characters with " +
                                longest.substr(folder.size()) + ", at most " +
                                std::to_string(MaxPathLength()) + ")\n");
  ui::ShowErrorMessage(FolderTooLongLine(UserLanguage(), folder));
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

// The folder the program was started in, where its working files live,
// ending with kPathSeparator. Ends the program (exit code 0) when a working
// file's path there is too long or another copy works there.
std::string ClaimWorkingFolder(Reporter& report) {
  const std::string folder = PathInCurrentDir("");
  report.Detail("folder: " + folder);
  RefuseTooLongFolder(folder, report);
  if (!ClaimFolder(folder)) {
    // The line first: whatever becomes of the other copy's window, this
    // copy says why it ends.
    report.Line(Stream::kOut, kAlreadyRunningLine);
    BringRunningCopyForward(std::string(ui::kWindowTitle));
    EndProcess(0);
  }
  return folder;
}

// The program's reporter: the console (or the reporter the caller gave)
// and the log. A log that cannot be opened is one line on stderr. Lives
// until the process ends.
ProgramReporter& OpenReporter(Reporter* given) {
  Reporter& console = ReporterOr(given);
  std::unique_ptr<Log> log;
  Result<std::string> folder = LogFolder();
  Result<std::unique_ptr<Log>> opened =
      folder.ok() ? Log::Open(*folder)
                  : Result<std::unique_ptr<Log>>(folder.error());
  if (opened.ok()) {
    log = std::move(opened).value();
  } else {
    console.Line(Stream::kErr, std::string(kLogUnavailablePrefix) +
                                   opened.error().message + "\n");
  }
  return *new ProgramReporter(console, std::move(log));
}

// The proxy line at the head of the run, where the decision is known
// without waiting: the connections decide for themselves on Windows (a
// script may take its time).
std::string DescribeProxy(const DownloadOptions& options,
                          const Result<ParsedUrl>& url) {
  if (options.connection.proxy) return "proxy: chosen by the program's options";
#ifdef _WIN32
  (void)url;
  return "proxy: the system settings, decided for each connection";
#else
  if (!url.ok()) return "proxy: none (no usable address)";
  Result<std::vector<ProxyChoice>> choices = SystemProxyFor(url.value());
  if (!choices.ok()) return "proxy: " + choices.error().message;
  if (!choices->front()) return "proxy: none";
  return "proxy: " + DescribeProxyChoice(choices->front()) +
         " from the environment";
#endif
}

// The head of the run in the log: the program, the system, the address
// (without its query) and the proxy.
void LogRunStart(Reporter& report, const std::string& url,
                 const DownloadOptions& options) {
  report.Detail(std::string("start: Corvadelin bootstrap ") + ProgramVersion() +
                " on " + OsDescription() + " (" + ArchitectureName() + ")");
  report.Detail("address: " + url.substr(0, url.find('?')));
  report.Detail(DescribeProxy(options, ParseUrl(url)));
}

// What the actions of one run share. Lives as long as the run (the whole
// process); the actions refer to it.
struct Run {
  std::string url;
  std::string folder;
  DownloadOptions options;
  HandOffOptions hand_off;
  Reporter* reporter = nullptr;
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
    run.status->SetPhase(Phase::kChecksumFailed);
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
            taskbar.Show(run.status->Read().length_known
                             ? ui::TaskbarState::kNormal
                             : ui::TaskbarState::kIndeterminate,
                         value);
          },
      .start_download =
          [&run] {
            StartDownloadTask(run.url, run.folder, run.status, run.options);
          },
      .clean_up = [&run] { CleanUpDownload(run.folder, run.reporter); },
      // A retry pause after a failure: the taskbar button says so, the
      // log has its length.
      .pause =
          [&run, &taskbar](std::chrono::milliseconds pause) {
            run.reporter->Detail("pause: " + std::to_string(pause.count()) +
                                 " ms before the next attempt");
            taskbar.Show(ui::TaskbarState::kError, run.shown_percent);
          },
      .hand_off = [&run, &window] { HandOff(run, window.window); },
      .show_status =
          [&run, &window](const std::string& line) {
            run.reporter->Detail("status: " + line);
            ui::SetStatusText(window, line);
          },
      .show_bar_error = [&window](bool error) { window.bar->SetError(error); },
  };
}

}  // namespace

void RunBootstrap(const std::string& url, const DownloadOptions& defaults,
                  std::string_view launcher_signers) {
  PrepareProcess();
  Run run;
  run.url = url;
  run.options = defaults;
  run.reporter = &OpenReporter(defaults.connection.reporter);
  run.options.connection.reporter = run.reporter;
  run.hand_off.reporter = run.reporter;
  LogRunStart(*run.reporter, run.url, run.options);
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
  run.folder = ClaimWorkingFolder(*run.reporter);
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

  // The download's progress wakes the loop (at most once per tick).
  run.status->SetObserver([] { ui::WakeMessageLoop(); });
  StartDownloadTask(run.url, run.folder, run.status, std::move(first));
  const PollActions actions = ActionsOf(run, window, *taskbar);
  PollState poll;
  poll.language = UserLanguage();
  poll.folder = run.folder;
  ui::RunMessageLoop([&] {
    const auto now = std::chrono::steady_clock::now();
    PollStep(*run.status, poll, actions, now);
    return std::chrono::ceil<std::chrono::milliseconds>(poll.due - now);
  });

  // The window was closed. A download still running ends with the process;
  // the files on disk stay for the next run.
  EndProcess(0);
}

}  // namespace talvoro
