// The pauses between failed download attempts.
#ifndef TALVORO_MAIN_RETRY_SCHEDULE_H_
#define TALVORO_MAIN_RETRY_SCHEDULE_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include "download/download_status.h"

namespace talvoro {

// Pause before a new download after a first failure (other than a CRC
// mismatch, which is retried at once), before the jitter.
inline constexpr std::chrono::milliseconds kRetryPause{3000};
// Consecutive failures double the pause up to this.
inline constexpr std::chrono::milliseconds kMaxRetryPause{60000};
// A server's Retry-After is honoured up to this; a longer wait is cut to it.
inline constexpr std::chrono::milliseconds kMaxServerPause{600000};
// A server's wait is lengthened at random by up to half of it, at most
// this much, so that copies told the same wait do not come back together.
inline constexpr std::chrono::milliseconds kMaxServerSpread{30000};

// The pauses between consecutive failed attempts. After a CRC mismatch (or
// a refused publication still announced) the pauses run 0 s, 1 s, 2 s,
// 4 s, ...; after any other failure 3 s, 6 s, 12 s, ...; both up to
// kMaxRetryPause. Failures of both kinds count together. Every pause is
// shortened by up to a half at random (it lies between half and all of the
// pause above), so that many copies that failed together come back spread
// out, from the first retry on. An interrupted attempt that brought new
// bytes (kept on disk) starts the count again.
//
// A wait the server asked for (Retry-After) sets the earliest end of the
// pause: the pause is the larger of the above and the server's wait
// lengthened at random by up to half of it (at most kMaxServerSpread),
// never shorter than asked; the whole pause is at most kMaxServerPause.
class RetrySchedule {
 public:
  // `random` gives numbers in [0, 1) for the jitter.
  explicit RetrySchedule(std::function<double()> random = nullptr);

  // The pause before the attempt after one that ended in `phase`
  // (kChecksumFailed, kPublicationRejected, kDownloadFailed or
  // kDownloadInterrupted) having received `received` bytes, the server
  // having asked for `retry_after` (if it did); counts the failure.
  std::chrono::milliseconds NextPause(
      Phase phase, uint64_t received,
      std::optional<std::chrono::seconds> retry_after = std::nullopt);

 private:
  std::function<double()> random_;
  int failures_ = 0;
};

}  // namespace talvoro

#endif  // TALVORO_MAIN_RETRY_SCHEDULE_H_
