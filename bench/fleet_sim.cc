// What a fleet of the program costs its host in an outage, on paper: one
// million copies, each driven by the program's own RetrySchedule, whose
// attempts all fail at the same instant when the host goes down for five
// minutes. Every attempt made while the host is down fails at once (and,
// where the host sends one, brings its Retry-After); the first attempt
// after it comes back succeeds and that copy is done. Prints, for each way
// the host can answer, the attempts it receives in each second until every
// copy is back, then the peak and the time to recover.
//
// Usage: fleet_sim [COPIES [OUTAGE_SECONDS [SEED]]]
// (defaults 1000000, 300 and 1).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <queue>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "main/retry_schedule.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// How the host answers while it is down.
enum class Answer {
  kNothing,      // the connection is refused: no Retry-After
  kFixedDelay,   // 503 with "Retry-After: 120"
  kEndOfOutage,  // 503 with the HTTP-date of the outage's end
};

const char* Describe(Answer answer) {
  switch (answer) {
    case Answer::kNothing:
      return "host unreachable (no Retry-After)";
    case Answer::kFixedDelay:
      return "503 with Retry-After: 120";
    case Answer::kEndOfOutage:
      return "503 with Retry-After: the outage's end (HTTP-date)";
  }
  return "";
}

// The server's wait for an attempt at `now_ms` while it is down.
std::optional<seconds> RetryAfter(Answer answer, int64_t now_ms,
                                  int64_t outage_ms) {
  switch (answer) {
    case Answer::kNothing:
      return std::nullopt;
    case Answer::kFixedDelay:
      return seconds(120);
    case Answer::kEndOfOutage:
      // What the program's parser makes of the date: whole seconds from
      // the local clock, rounded up.
      return seconds((outage_ms - now_ms + 999) / 1000);
  }
  return std::nullopt;
}

struct Outcome {
  std::vector<int64_t> per_second;  // attempts the host received
  int64_t recovered_ms = 0;         // the last copy's successful attempt
  int64_t attempts = 0;
};

Outcome Simulate(int copies, int64_t outage_ms, Answer answer, uint32_t seed) {
  std::minstd_rand engine(seed);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  auto random = [&] { return uniform(engine); };
  std::vector<talvoro::RetrySchedule> schedules;
  schedules.reserve(copies);
  for (int i = 0; i < copies; ++i) schedules.emplace_back(random);

  // (time of the next attempt in ms, copy), earliest first.
  using Event = std::pair<int64_t, int>;
  std::priority_queue<Event, std::vector<Event>, std::greater<>> next;
  for (int i = 0; i < copies; ++i) next.emplace(0, i);
  Outcome outcome;
  while (!next.empty()) {
    const auto [at, copy] = next.top();
    next.pop();
    const size_t second = static_cast<size_t>(at / 1000);
    if (outcome.per_second.size() <= second) {
      outcome.per_second.resize(second + 1);
    }
    ++outcome.per_second[second];
    ++outcome.attempts;
    if (at >= outage_ms) {
      outcome.recovered_ms = std::max(outcome.recovered_ms, at);
      continue;
    }
    // A refused connection or a 503: the partial stays, nothing new came.
    const milliseconds pause =
        schedules[copy].NextPause(talvoro::Phase::kDownloadInterrupted, 0,
                                  RetryAfter(answer, at, outage_ms));
    next.emplace(at + pause.count(), copy);
  }
  return outcome;
}

void Report(Answer answer, const Outcome& o, int copies, int64_t outage_ms) {
  std::printf("== %s\n", Describe(answer));
  std::printf("attempts per second, from the failure at 0 s:");
  for (size_t s = 0; s < o.per_second.size(); ++s) {
    if (s % 10 == 0) std::printf("\n%5zus:", s);
    std::printf(" %7lld", static_cast<long long>(o.per_second[s]));
  }
  std::printf("\n");
  int64_t peak_down = 0, peak_up = 0;
  size_t peak_down_at = 0, peak_up_at = 0;
  for (size_t s = 1; s < o.per_second.size(); ++s) {
    const bool up = static_cast<int64_t>(s) * 1000 >= outage_ms;
    int64_t& peak = up ? peak_up : peak_down;
    size_t& peak_at = up ? peak_up_at : peak_down_at;
    if (o.per_second[s] > peak) {
      peak = o.per_second[s];
      peak_at = s;
    }
  }
  std::printf(
      "peak while down (after the first failure): %lld/s at %zu s "
      "(%.1f%% of the fleet)\n",
      static_cast<long long>(peak_down), peak_down_at,
      100.0 * peak_down / copies);
  std::printf("peak once back: %lld/s at %zu s (%.1f%% of the fleet)\n",
              static_cast<long long>(peak_up), peak_up_at,
              100.0 * peak_up / copies);
  std::printf(
      "all back %.1f s after the host, %.1f s after the failure; %.2f "
      "attempts per copy\n\n",
      (o.recovered_ms - outage_ms) / 1000.0, o.recovered_ms / 1000.0,
      static_cast<double>(o.attempts) / copies);
}

}  // namespace

int main(int argc, char** argv) {
  const int copies = argc > 1 ? std::atoi(argv[1]) : 1000000;
  const int64_t outage_ms = (argc > 2 ? std::atoll(argv[2]) : 300) * 1000;
  const uint32_t seed =
      argc > 3 ? static_cast<uint32_t>(std::atoll(argv[3])) : 1;
  if (copies < 1 || outage_ms < 1000) {
    std::fprintf(stderr, "usage: fleet_sim [COPIES [OUTAGE_SECONDS [SEED]]]\n");
    return 2;
  }
  std::printf("%d copies, host down for %lld s from 0 s\n\n", copies,
              static_cast<long long>(outage_ms / 1000));
  for (Answer answer :
       {Answer::kNothing, Answer::kFixedDelay, Answer::kEndOfOutage}) {
    Report(answer, Simulate(copies, outage_ms, answer, seed), copies,
           outage_ms);
  }
}
