// The pauses between failed download attempts.
#ifndef TALVORO_MAIN_RETRY_SCHEDULE_H_
#define TALVORO_MAIN_RETRY_SCHEDULE_H_

#include <chrono>
#include <cstdint>
#include <functional>

#include "download/download_status.h"

namespace talvoro {

// Pause before a new download after a first failure (other than a CRC
// mismatch, which is retried at once).
inline constexpr std::chrono::milliseconds kRetryPause{3000};
// Consecutive failures double the pause up to this.
inline constexpr std::chrono::milliseconds kMaxRetryPause{60000};

// The pauses between consecutive failed attempts. After a CRC mismatch (or
// a refused publication still announced) the pauses run 0 s, 1 s, 2 s,
// 4 s, ...; after any other failure 3 s, 6 s,
// 12 s, ...; both up to kMaxRetryPause. Failures of both kinds count
// together. Every pause but the first is shortened by up to a fifth at
// random, so that many copies that failed together do not come back
// together. An interrupted attempt that brought new bytes (kept on disk)
// starts the count again.
class RetrySchedule {
 public:
  // `random` gives numbers in [0, 1) for the jitter.
  explicit RetrySchedule(std::function<double()> random = nullptr);

  // The pause before the attempt after one that ended in `phase`
  // (kChecksumFailed, kPublicationRejected, kDownloadFailed or
  // kDownloadInterrupted) having
  // received `received` bytes; counts the failure.
  std::chrono::milliseconds NextPause(uint8_t phase, uint64_t received);

 private:
  std::function<double()> random_;
  int failures_ = 0;
};

}  // namespace talvoro

#endif  // TALVORO_MAIN_RETRY_SCHEDULE_H_
