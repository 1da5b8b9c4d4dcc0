// What every SecureStream does the same way, whichever library runs its
// TLS records (tls_openssl.cc, tls_schannel.cc): the idle time-out around
// each socket operation, the end of the stream, and the text of a failed
// operation.
#ifndef TALVORO_DOWNLOAD_TLS_STREAM_H_
#define TALVORO_DOWNLOAD_TLS_STREAM_H_

#include <asio.hpp>
#include <chrono>
#include <cstddef>
#include <functional>

#include "base/error.h"
#include "download/awaitable.h"
#include "download/watchdog.h"

namespace talvoro {

class StreamPolicy {
 public:
  using Clock = std::chrono::steady_clock;

  // `close_socket` closes the stream's socket; it runs on `executor` when
  // a bracketed operation passes its time. It is never called after the
  // policy is destroyed, so a stream declares its policy after its socket.
  StreamPolicy(asio::any_io_executor executor,
               std::function<void()> close_socket, Clock::duration idle);

  // Brackets one operation on the socket: from Begin to End it may go
  // without progress for the idle time-out at most.
  void Begin() { watchdog_.ArmFor(idle_); }
  void End() { watchdog_.Disarm(); }
  // The same for the handshake, which has an absolute `deadline` instead.
  void BeginUntil(Clock::time_point deadline) { watchdog_.ArmUntil(deadline); }

  // True once a bracketed operation ran out of time (the socket is closed).
  bool timed_out() const { return watchdog_.expired(); }

  // The error of an operation that failed with `ec`: "operation timed out"
  // when the time-out closed the socket, else the text of `ec`.
  Error Failure(const asio::error_code& ec) const;

  // What a read that completed with `ec` and `n` bytes gives the caller:
  // `n` when it succeeded; 0, and the end of the stream from then on, when
  // `peer_ended` (the peer closed, with or without a TLS close_notify) and
  // no time-out is to blame; else the failure.
  Result<size_t> ReadOutcome(const asio::error_code& ec, size_t n,
                             bool peer_ended);

  // Set once the stream has ended; reads then return 0 at once.
  bool at_end() const { return at_end_; }
  void set_at_end() { at_end_ = true; }

 private:
  Watchdog watchdog_;
  Clock::duration idle_;
  bool at_end_ = false;
};

}  // namespace talvoro

#endif  // TALVORO_DOWNLOAD_TLS_STREAM_H_
