#include "main/app.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <thread>
#include <utility>

#include "download/download.h"
#include "download/executor.h"
#include "download/integrity.h"
#include "download/text.h"
#include "main/handoff.h"
#include "main/process.h"
#include "ui/src/fatal.h"
#include "ui/src/png_image.h"
#include "ui/src/progress_window.h"
#include "ui/src/splash.h"
#include "ui/src/ui.h"

namespace talvoro {

void PollStep(DownloadStatus& status, const PollActions& actions) {
  const DownloadStatus::Snapshot now = status.Read();
  switch (now.phase) {
    case kDownloading:
      actions.set_bar(std::min<int>(now.percent, 100));
      break;
    case kDownloaded:
      actions.set_bar(100);
      status.SetPhase(kHandOff);
      break;
    case kChecksumFailed:
      actions.clean_up();
      actions.set_bar(0);
      status.Restart(/*keep_percent=*/false);
      actions.start_download();
      break;
    case kDownloadFailed:
      actions.clean_up();
      actions.pause(kRetryPause);
      actions.set_bar(0);
      status.Restart(/*keep_percent=*/false);
      actions.start_download();
      break;
    case kDownloadInterrupted:
      // The partial file stays; the bar stays where it is and the next
      // attempt resumes from the bytes on disk.
      actions.pause(kRetryPause);
      status.Restart(/*keep_percent=*/true);
      actions.start_download();
      break;
    case kHandOff:
      actions.hand_off();
      break;
  }
}

namespace {

asio::awaitable<void> DownloadTask(std::string url, std::string folder,
                                   DownloadStatusRef status,
                                   ConnectOptions options) {
  const std::string target = folder + kTargetFileName;
  const std::string sidecar = folder + kEtagFileName;
  Result<uint64_t> result =
      co_await Download(url, target, sidecar, status, std::move(options));
  if (!result.ok()) {
    const Error& error = result.error();
    PrintErr("下载失败: " + error.message + "\n");
    status->SetPhase(error.kind == ErrorKind::kNetwork ? kDownloadInterrupted
                                                       : kDownloadFailed);
    co_return;
  }
  CheckIntegrity(target, *result, *status);
}

}  // namespace

void StartDownloadTask(const std::string& url, const std::string& folder,
                       DownloadStatusRef status,
                       const ConnectOptions& options) {
  SpawnDetached(DownloadTask(url, folder, std::move(status), options));
}

namespace {

// Start-up failures are fatal: the program cannot show its window.
template <typename T>
T Unwrap(Result<T> result) {
  if (!result.ok()) {
    ui::Fatal(std::string(ui::kUnwrapFailed) + ": " + result.error().message);
  }
  return std::move(result).value();
}

}  // namespace

void RunBootstrap(const std::string& url, const ConnectOptions& options) {
  auto picture = std::make_shared<const ui::RgbaImage>(
      Unwrap(ui::DecodePng(ui::SplashPng())));
  ui::UI toolkit = Unwrap(ui::StartToolkit());
  ui::ProgressWindow window = Unwrap(ui::ShowProgressWindow(toolkit, picture));

  // The working files live in the folder the program was started in.
  const std::string folder = PathInCurrentDir("");
  auto status = std::make_shared<DownloadStatus>();
  StartDownloadTask(url, folder, status, options);

  const PollActions actions{
      .set_bar = [&](int value) { window.bar->SetPercent(value); },
      .start_download =
          [&] { StartDownloadTask(url, folder, status, options); },
      .clean_up = CleanUpDownload,
      .pause =
          [](std::chrono::milliseconds ms) { std::this_thread::sleep_for(ms); },
      .hand_off =
          [&] {
            InstallAndStartLauncher();
            std::this_thread::sleep_for(kHandOffPause);
            ui::HideWindow(window.window);
            EndProcess(0);
          },
  };
  ui::RunMessageLoop([&] { PollStep(*status, actions); });

  // The window was closed. A download still running ends with the process;
  // the files on disk stay for the next run.
  EndProcess(0);
}

}  // namespace talvoro
