// The record shared by the download task and the main thread.
#ifndef TALVORO_DOWNLOAD_DOWNLOAD_STATUS_H_
#define TALVORO_DOWNLOAD_DOWNLOAD_STATUS_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "base/error.h"

namespace talvoro {

// Where the current attempt stands.
enum class Phase : uint8_t {
  kDownloading,     // download under way; the bar shows `percent`
  kDownloaded,      // file complete and its CRC verified
  kChecksumFailed,  // file complete, CRC mismatch
  kDownloadFailed,  // the download ended with an error
  kHandOff,         // the full bar has been shown; hand over next poll
  // The download ended with a network failure (connection, TLS, time-out,
  // a body cut short) or a full disk. The partial file and its ETag are
  // kept so that the next attempt resumes with a range request.
  kDownloadInterrupted,
  // The server still announces a file that was refused before; nothing was
  // requested or written (no files to clean up). Retried after a pause, as
  // after a CRC mismatch.
  kPublicationRejected,
};

// Whether `phase` ends an attempt that failed.
bool IsFailure(Phase phase);

// The progress of the current attempt, behind one lock: the download task
// writes it (the progress once per chunk, the outcome at its end), the main
// thread reads it whole with Read(). Shared by reference counting
// (DownloadStatusRef): each holder keeps one reference.
class DownloadStatus {
 public:
  using Clock = std::chrono::steady_clock;

  // One consistent view of the status.
  struct Snapshot {
    Phase phase = Phase::kDownloading;
    uint8_t percent = 0;
    // Body bytes the current attempt has received (and written) so far.
    uint64_t received = 0;
    // Whether the current attempt knows the file's length (so `percent`
    // means something).
    bool length_known = true;
    // What the failure was, for the failed phases that come with an error
    // (kDownloadFailed, kDownloadInterrupted, kPublicationRejected); empty
    // otherwise.
    std::optional<Error> error;
    // When the current attempt last received a body byte, or began when it
    // has received none yet.
    Clock::time_point last_byte_at = Clock::now();
  };

  DownloadStatus() = default;
  DownloadStatus(const DownloadStatus&) = delete;
  DownloadStatus& operator=(const DownloadStatus&) = delete;

  Snapshot Read() const;

  // Sets the phase; the error of an earlier failure goes.
  void SetPhase(Phase phase);
  // Ends the attempt in the failed `phase` because of `error`.
  void Fail(Phase phase, Error error);
  // Marks a new attempt as started at `now`. `percent` restarts at 0 unless
  // the new attempt resumes the old one's file.
  void Restart(bool keep_percent, Clock::time_point now = Clock::now());
  // One chunk of `bytes` (0 at the end of the body) has arrived, of a file
  // whose length is known or not; a chunk with bytes moves last_byte_at to
  // now.
  void SetProgress(uint8_t percent, uint64_t bytes = 0, bool known = true);

  // Called (outside the lock, on the writer's thread) after every change;
  // the program wakes its message loop with it. Set before the status is
  // shared; null: nobody is told.
  void SetObserver(std::function<void()> observer);

 private:
  void Changed() const;

  mutable std::mutex mutex_;
  Snapshot now_;
  std::function<void()> observer_;
};

using DownloadStatusRef = std::shared_ptr<DownloadStatus>;

}  // namespace talvoro

#endif  // TALVORO_DOWNLOAD_DOWNLOAD_STATUS_H_
