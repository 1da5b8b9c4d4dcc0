#include "main/retry_schedule.h"

#include <algorithm>
#include <random>
#include <utility>

namespace talvoro {

RetrySchedule::RetrySchedule(std::function<double()> random)
    : random_(std::move(random)) {
  if (!random_) {
    random_ = [engine = std::minstd_rand(std::random_device{}())]() mutable {
      return std::uniform_real_distribution<double>(0.0, 1.0)(engine);
    };
  }
}

std::chrono::milliseconds RetrySchedule::NextPause(
    Phase phase, uint64_t received,
    std::optional<std::chrono::seconds> retry_after) {
  using std::chrono::milliseconds;
  // New bytes kept on disk: the server works, the link was cut.
  if (phase == Phase::kDownloadInterrupted && received > 0) failures_ = 0;
  const int n = ++failures_;
  // The pause of the n-th consecutive failure, before the jitter.
  milliseconds base;
  if (phase == Phase::kChecksumFailed || phase == Phase::kPublicationRejected) {
    base = n == 1 ? milliseconds(0)
                  : milliseconds(int64_t{1000} << std::min(n - 2, 16));
  } else {
    base = kRetryPause * (int64_t{1} << std::min(n - 1, 16));
  }
  base = std::min(base, kMaxRetryPause);
  milliseconds pause(
      static_cast<int64_t>(base.count() * (1.0 - 0.5 * random_())));
  if (retry_after) {
    const milliseconds asked = std::min<milliseconds>(
        std::max(*retry_after, std::chrono::seconds(0)), kMaxServerPause);
    const milliseconds spread = std::min(asked / 2, kMaxServerSpread);
    pause = std::max(
        pause,
        asked + milliseconds(static_cast<int64_t>(spread.count() * random_())));
  }
  return std::min(pause, kMaxServerPause);
}

}  // namespace talvoro
