#include "download/tls_stream.h"

#include <utility>

#include "download/tls.h"

namespace talvoro {

StreamPolicy::StreamPolicy(asio::any_io_executor executor,
                           std::function<void()> close_socket,
                           Clock::duration idle)
    : watchdog_(std::move(executor), std::move(close_socket)), idle_(idle) {}

Error StreamPolicy::Failure(const asio::error_code& ec) const {
  if (timed_out()) return NetworkError(kTimedOutMessage);
  return NetworkError(ec.message());
}

Result<size_t> StreamPolicy::ReadOutcome(const asio::error_code& ec, size_t n,
                                         bool peer_ended) {
  if (!ec) return n;
  if (peer_ended && !timed_out()) {
    at_end_ = true;
    return size_t{0};
  }
  return Failure(ec);
}

}  // namespace talvoro
