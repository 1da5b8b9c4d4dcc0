// The bootstrap's run: start-up, the poll of the download status, retries
// and the hand-off to the launcher.
#ifndef TALVORO_MAIN_APP_H_
#define TALVORO_MAIN_APP_H_

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "download/download.h"
#include "download/download_status.h"
#include "main/retry_schedule.h"
#include "main/status_text.h"
#include "main/working_files.h"

namespace talvoro {

// Pause between starting the launcher and ending the bootstrap.
inline constexpr std::chrono::milliseconds kHandOffPause{1000};
// An attempt that has received no byte for this long shows the waiting
// line until bytes come again.
inline constexpr std::chrono::seconds kWaitingAfter{15};
// While a download runs, the poll comes again at least this often; every
// change of the status wakes the loop anyway, so this only bounds a missed
// wake (a stalled download wakes the program once a second).
inline constexpr std::chrono::milliseconds kDownloadPollInterval{1000};

// Printed on standard error, followed by the folder and the lengths, when
// the working folder's path is too long for the launcher to be started
// from it; the program then ends before it downloads anything.
inline constexpr char kFolderTooLongPrefix[] = "working folder path too long: ";

// What the poll step acts through. The program wires these to the window,
// the executor and the working folder; tests wire fakes.
struct PollActions {
  std::function<void(int)> set_bar;      // progress bar value, 0 to 100
  std::function<void()> start_download;  // spawn a new download task
  std::function<void()> clean_up;        // delete target and ETag sidecar
  // Told of each retry pause as it begins (the program shows the error
  // state on the taskbar button); must not block (the window goes on
  // handling its messages meanwhile).
  std::function<void(std::chrono::milliseconds)> pause;
  std::function<void()> hand_off;  // in the program, never returns
  // Shows the window's status line (empty: none), each time it changes;
  // null: not shown.
  std::function<void(const std::string&)> show_status = nullptr;
  // Puts the bar in its error state (true, during a retry pause) or back in
  // its normal one, each time that changes; null: not shown.
  std::function<void(bool)> show_bar_error = nullptr;
};

// What the poll step keeps from one poll to the next.
struct PollState {
  RetrySchedule schedule;
  // The next attempt starts once the clock reaches this.
  std::optional<std::chrono::steady_clock::time_point> restart_at = {};
  bool keep_percent = false;
  // The wording of the status line: the user's language and the working
  // folder (named when it cannot be written).
  Language language = Language::kEnglish;
  std::string folder = {};
  // The status line and the bar's error state as last shown.
  std::string shown_status = {};
  bool bar_error = false;
  // The poll must come again by this time for what it shows to stay true
  // (the countdown's next second, the waiting line's start).
  std::chrono::steady_clock::time_point due = {};
};

// The window's status line at `now` for `current`: during a retry pause
// (state.restart_at set) the failure's line with the seconds left, rounded
// up; during an attempt that has received no byte for kWaitingAfter the
// waiting line; otherwise empty.
std::string StatusLineAt(const DownloadStatus::Snapshot& current,
                         const PollState& state,
                         std::chrono::steady_clock::time_point now);

// One poll of `status` at time `now`. While a retry pause runs, nothing but
// its end is looked at: then the phase goes back to kDownloading and the new
// task is spawned, so a later poll can never start a second download while
// one runs. Otherwise, by phase: kDownloading moves the bar to `percent`
// (at most 100); kDownloaded fills the bar and moves to kHandOff, so the
// full bar stays up for one poll interval; kChecksumFailed and
// kDownloadFailed clean up and, after the schedule's pause (a pause of 0
// restarts in this poll), set the bar to 0 and restart; kPublicationRejected
// does the same without the clean-up (nothing was written);
// kDownloadInterrupted keeps the files and the bar and restarts after the
// pause; kHandOff hands off. Then the status line (StatusLineAt) and the
// bar's error state (on during a pause) are shown where they changed, and
// `state.due` is set.
void PollStep(DownloadStatus& status, PollState& state,
              const PollActions& actions,
              std::chrono::steady_clock::time_point now);

// Spawns the download task on the process-wide executor and returns at
// once. `folder` ends with kPathSeparator ('/', on Windows '\\'). The task
// downloads `url` into kTargetFileName in `folder` (its ETag in
// kEtagFileName beside it), checks its CRC and leaves its outcome in
// `status`'s phase, with the error of a failed download; it reports
// "下载失败: " and the error on stderr (to options.connection.reporter)
// when the download fails. A file that fails the check is noted in
// `options.publications` (if any) before the phase says so.
void StartDownloadTask(const std::string& url, const std::string& folder,
                       DownloadStatusRef status, DownloadOptions options = {});

// The whole program: window, download, retries, hand-off. Never returns:
// the process ends with exit code 0 when the window is closed or after the
// hand-off. Start-up failures (no display, a broken picture, a malformed
// `launcher_signers`) are fatal. Its lines go to the standard streams (or
// to defaults.connection.reporter) and to the log (main/log.h); a working
// folder too long to work in is also shown in a message box. `defaults` are how
// its connections are made (the program passes the defaults); without a memory
// of publications, the run makes one for all its attempts. `launcher_signers`,
// when not empty, is the list of signers (see ParseSignerList) one of whom must
// have signed a launcher before it is put in place and started; a launcher that
// fails the check is handled like one that failed its CRC check, and its
// publication is refused at once.
[[noreturn]] void RunBootstrap(const std::string& url,
                               const DownloadOptions& defaults = {},
                               std::string_view launcher_signers = {});

}  // namespace talvoro

#endif  // TALVORO_MAIN_APP_H_
