// A deadline that cancels a pending socket operation when it passes.
//
// Arming is cheap (it stores a time point); the timer underneath is only
// re-armed when it wakes up, so a stream can re-arm the watchdog before each
// read without touching the timer queue.
#ifndef TALVORO_DOWNLOAD_WATCHDOG_H_
#define TALVORO_DOWNLOAD_WATCHDOG_H_

#include <asio.hpp>
#include <chrono>
#include <functional>
#include <memory>

namespace talvoro {

class Watchdog {
 public:
  using Clock = std::chrono::steady_clock;

  // `on_expire` runs on `executor` when an armed deadline passes; it should
  // cancel whatever operation is pending. It is never called after the
  // watchdog is destroyed.
  Watchdog(asio::any_io_executor executor, std::function<void()> on_expire);
  ~Watchdog();
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  // Replaces the action taken on expiry.
  void SetAction(std::function<void()> on_expire);

  // Arms the watchdog for the absolute `deadline`, replacing any earlier one.
  void ArmUntil(Clock::time_point deadline);
  void ArmFor(Clock::duration timeout) { ArmUntil(Clock::now() + timeout); }

  // Disarms; the action will not run until the next Arm call.
  void Disarm();

  // True once the action has run. Stays true.
  bool expired() const;

 private:
  struct State;
  static void Wait(const std::shared_ptr<State>& state);
  static void OnWake(const std::shared_ptr<State>& state);

  std::shared_ptr<State> state_;
};

}  // namespace talvoro

#endif  // TALVORO_DOWNLOAD_WATCHDOG_H_
