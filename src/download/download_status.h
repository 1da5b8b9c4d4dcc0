// The record shared by the download task and the main thread.
#ifndef TALVORO_DOWNLOAD_DOWNLOAD_STATUS_H_
#define TALVORO_DOWNLOAD_DOWNLOAD_STATUS_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

namespace talvoro {

// Values of DownloadStatus::phase.
enum Phase : uint8_t {
  kDownloading = 0,     // download under way; the bar shows `percent`
  kDownloaded = 1,      // file complete and its CRC verified
  kChecksumFailed = 2,  // file complete, CRC mismatch
  kDownloadFailed = 3,  // the download ended with an error
  kHandOff = 4,         // the full bar has been shown; hand over next poll
  // The download ended with a network failure (connection, TLS, time-out,
  // a body cut short). The partial file and its ETag are kept so that the
  // next attempt resumes with a range request.
  kDownloadInterrupted = 5,
  // The server still announces a file that was refused before; nothing was
  // requested or written (no files to clean up). Retried after a pause, as
  // after a CRC mismatch.
  kPublicationRejected = 6,
};

// The progress of the current attempt under one mutex: its phase and
// percentage, the bytes it received and whether the file's length is known.
// The download task writes the progress (with `phase` kDownloading) once
// per chunk and the final phase at its end; the main thread polls it. Shared by
// reference counting (std::shared_ptr): each holder keeps one reference.
struct DownloadStatus {
  std::mutex mutex;
  uint8_t phase = kDownloading;
  uint8_t percent = 0;
  // Body bytes the current attempt has received (and written) so far.
  uint64_t received = 0;
  // Whether the current attempt knows the file's length (so `percent`
  // means something).
  bool length_known = true;
  // The wait a busy server asked for (Retry-After) with the failure that
  // ended the attempt; set with the phase.
  std::optional<std::chrono::seconds> retry_after;

  struct Snapshot {
    uint8_t phase;
    uint8_t percent;
    std::optional<std::chrono::seconds> retry_after = {};
  };
  Snapshot Read() {
    std::lock_guard<std::mutex> lock(mutex);
    return {phase, percent, retry_after};
  }
  void SetPhase(uint8_t p,
                std::optional<std::chrono::seconds> wait = std::nullopt) {
    std::lock_guard<std::mutex> lock(mutex);
    phase = p;
    retry_after = wait;
  }
  // Marks a new download as started. `percent` restarts at 0 unless the new
  // download resumes the old one's file.
  void Restart(bool keep_percent) {
    std::lock_guard<std::mutex> lock(mutex);
    phase = kDownloading;
    received = 0;
    length_known = true;
    retry_after.reset();
    if (!keep_percent) percent = 0;
  }
  // One chunk of `bytes` (0 at the end of the body) has arrived, of a file
  // whose length is known or not.
  void SetProgress(uint8_t pct, uint64_t bytes = 0, bool known = true) {
    std::lock_guard<std::mutex> lock(mutex);
    phase = kDownloading;
    percent = pct;
    received += bytes;
    length_known = known;
  }
  bool LengthKnown() {
    std::lock_guard<std::mutex> lock(mutex);
    return length_known;
  }
  uint64_t Received() {
    std::lock_guard<std::mutex> lock(mutex);
    return received;
  }
};

using DownloadStatusRef = std::shared_ptr<DownloadStatus>;

}  // namespace talvoro

#endif  // TALVORO_DOWNLOAD_DOWNLOAD_STATUS_H_
