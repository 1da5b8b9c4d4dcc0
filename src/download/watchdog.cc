#include "download/watchdog.h"

namespace talvoro {

struct Watchdog::State {
  explicit State(asio::any_io_executor executor) : timer(executor) {}

  asio::steady_timer timer;
  std::function<void()> on_expire;
  Clock::time_point deadline;
  bool armed = false;
  bool waiting = false;
  bool expired = false;
  bool stopped = false;
};

Watchdog::Watchdog(asio::any_io_executor executor,
                   std::function<void()> on_expire)
    : state_(std::make_shared<State>(executor)) {
  state_->on_expire = std::move(on_expire);
}

Watchdog::~Watchdog() {
  // The pending wait (if any) keeps the state alive until its handler has
  // run; `stopped` makes that handler a no-op.
  state_->stopped = true;
  state_->on_expire = nullptr;
  state_->timer.cancel();
}

void Watchdog::SetAction(std::function<void()> on_expire) {
  state_->on_expire = std::move(on_expire);
}

void Watchdog::ArmUntil(Clock::time_point deadline) {
  State& s = *state_;
  s.deadline = deadline;
  s.armed = true;
  if (!s.waiting) {
    Wait(state_);
  } else if (deadline < s.timer.expiry()) {
    // Cancels the pending wait; its handler waits again for the new time.
    s.timer.expires_at(deadline);
  }
}

void Watchdog::Disarm() { state_->armed = false; }

bool Watchdog::expired() const { return state_->expired; }

void Watchdog::Wait(const std::shared_ptr<State>& state) {
  state->waiting = true;
  state->timer.expires_at(state->deadline);
  state->timer.async_wait([state](const asio::error_code&) { OnWake(state); });
}

void Watchdog::OnWake(const std::shared_ptr<State>& state) {
  state->waiting = false;
  if (state->stopped || !state->armed) return;
  if (Clock::now() < state->deadline) {
    Wait(state);
    return;
  }
  state->armed = false;
  state->expired = true;
  if (state->on_expire) state->on_expire();
}

}  // namespace talvoro
