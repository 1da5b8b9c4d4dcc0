#include "download/download_status.h"

#include <utility>

namespace talvoro {

bool IsFailure(Phase phase) {
  switch (phase) {
    case Phase::kChecksumFailed:
    case Phase::kDownloadFailed:
    case Phase::kDownloadInterrupted:
    case Phase::kPublicationRejected:
      return true;
    case Phase::kDownloading:
    case Phase::kDownloaded:
    case Phase::kHandOff:
      return false;
  }
  return false;
}

DownloadStatus::Snapshot DownloadStatus::Read() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return now_;
}

void DownloadStatus::SetPhase(Phase phase) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    now_.phase = phase;
    now_.error.reset();
  }
  Changed();
}

void DownloadStatus::Fail(Phase phase, Error error) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    now_.phase = phase;
    now_.error = std::move(error);
  }
  Changed();
}

void DownloadStatus::Restart(bool keep_percent, Clock::time_point now) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    now_.phase = Phase::kDownloading;
    now_.received = 0;
    now_.length_known = true;
    now_.error.reset();
    now_.last_byte_at = now;
    if (!keep_percent) now_.percent = 0;
  }
  Changed();
}

void DownloadStatus::SetProgress(uint8_t percent, uint64_t bytes, bool known) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    now_.phase = Phase::kDownloading;
    now_.percent = percent;
    now_.received += bytes;
    now_.length_known = known;
    if (bytes > 0) now_.last_byte_at = Clock::now();
  }
  Changed();
}

void DownloadStatus::SetObserver(std::function<void()> observer) {
  observer_ = std::move(observer);
}

// The observer is set before the status is shared and never changes after:
// it is read without the lock.
void DownloadStatus::Changed() const {
  if (observer_) observer_();
}

}  // namespace talvoro
