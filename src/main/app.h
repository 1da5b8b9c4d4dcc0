// The bootstrap's run: start-up, the poll of the download status, retries
// and the hand-off to the launcher.
#ifndef TALVORO_MAIN_APP_H_
#define TALVORO_MAIN_APP_H_

#include <chrono>
#include <functional>
#include <string>

#include "download/connection.h"
#include "download/download_status.h"

namespace talvoro {

// Pause before a new download after a failed one.
inline constexpr std::chrono::milliseconds kRetryPause{3000};
// Pause between starting the launcher and ending the bootstrap.
inline constexpr std::chrono::milliseconds kHandOffPause{1000};

// What the poll step acts through. The program wires these to the window,
// the executor and the working folder; tests wire fakes.
struct PollActions {
  std::function<void(int)> set_bar;      // progress bar value, 0 to 100
  std::function<void()> start_download;  // spawn a new download task
  std::function<void()> clean_up;        // delete target and ETag sidecar
  std::function<void(std::chrono::milliseconds)> pause;  // blocks the caller
  std::function<void()> hand_off;  // in the program, never returns
};

// One poll of `status`, by phase: kDownloading moves the bar to `percent`
// (at most 100); kDownloaded fills the bar and moves to kHandOff, so the
// full bar stays up for one poll interval; kChecksumFailed cleans up and
// restarts at once; kDownloadFailed cleans up and restarts after
// kRetryPause; kDownloadInterrupted keeps the files and restarts after
// kRetryPause; kHandOff hands off. A restart sets the phase back to
// kDownloading before the new task is spawned, so a later poll can never
// start a second download while the first one runs.
void PollStep(DownloadStatus& status, const PollActions& actions);

// Spawns the download task on the process-wide executor and returns at
// once. `folder` ends with a '/'. The task downloads `url` into the fixed
// target in `folder`, checks
// its CRC and leaves its outcome in `status`'s phase; it prints
// "下载失败: " and the error on stderr when the download fails.
void StartDownloadTask(const std::string& url, const std::string& folder,
                       DownloadStatusRef status,
                       const ConnectOptions& options = {});

// The whole program: window, download, retries, hand-off. Never returns:
// the process ends with exit code 0 when the window is closed or after the
// hand-off. Start-up failures (no display, a broken picture) are fatal.
// `options` are how its connections are made (the program passes the
// defaults).
[[noreturn]] void RunBootstrap(const std::string& url,
                               const ConnectOptions& options = {});

}  // namespace talvoro

#endif  // TALVORO_MAIN_APP_H_
