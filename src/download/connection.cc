#include "download/connection.h"

#include <asio/experimental/as_tuple.hpp>
#include <optional>

#include "download/watchdog.h"

namespace talvoro {

namespace {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;
constexpr auto kNoThrow = asio::experimental::as_tuple(asio::use_awaitable);

Timeouts g_timeouts;

// The shared steps of Resolve and ConnectToList; `watchdog` (may be null)
// bounds them with a deadline armed by the caller.
asio::awaitable<Result<std::vector<tcp::endpoint>>> ResolveWith(
    const std::string& host, uint16_t port, Watchdog* watchdog) {
  tcp::resolver resolver(co_await asio::this_coro::executor);
  if (watchdog) watchdog->SetAction([&resolver] { resolver.cancel(); });
  auto [ec, results] =
      co_await resolver.async_resolve(host, std::to_string(port), kNoThrow);
  if (watchdog) watchdog->SetAction(nullptr);
  if (watchdog && watchdog->expired()) co_return NetworkError(kTimedOutMessage);
  if (ec) co_return NetworkError(ec.message());
  std::vector<tcp::endpoint> endpoints;
  for (const auto& entry : results) endpoints.push_back(entry.endpoint());
  co_return endpoints;
}

asio::awaitable<Result<tcp::socket>> ConnectWith(
    const std::vector<tcp::endpoint>& endpoints, Watchdog* watchdog) {
  auto executor = co_await asio::this_coro::executor;
  std::optional<asio::error_code> last_error;
  for (const tcp::endpoint& endpoint : endpoints) {
    tcp::socket socket(executor);
    asio::error_code ec;
    socket.open(endpoint.protocol(), ec);
    if (!ec) {
      if (watchdog) {
        watchdog->SetAction([&socket] {
          asio::error_code ignored;
          socket.close(ignored);
        });
      }
      std::tie(ec) = co_await socket.async_connect(endpoint, kNoThrow);
      if (watchdog) watchdog->SetAction(nullptr);
      if (watchdog && watchdog->expired()) {
        co_return NetworkError(kTimedOutMessage);
      }
      if (!ec) co_return std::move(socket);
    }
    last_error = ec;
  }
  if (!last_error) co_return NetworkError(kNoAddressesMessage);
  co_return NetworkError(last_error->message());
}

}  // namespace

void SetTimeouts(const Timeouts& timeouts) { g_timeouts = timeouts; }
Timeouts GetTimeouts() { return g_timeouts; }

asio::awaitable<Result<std::vector<tcp::endpoint>>> Resolve(std::string host,
                                                            uint16_t port) {
  co_return co_await ResolveWith(host, port, nullptr);
}

asio::awaitable<Result<tcp::socket>> ConnectToList(
    std::vector<tcp::endpoint> endpoints) {
  co_return co_await ConnectWith(endpoints, nullptr);
}

asio::awaitable<Result<SecureStream>> OpenSecureStream(ParsedUrl url) {
  const Timeouts timeouts = g_timeouts;
  const Clock::time_point deadline = Clock::now() + timeouts.connect;
  Watchdog watchdog(co_await asio::this_coro::executor, nullptr);
  watchdog.ArmUntil(deadline);

  Result<std::vector<tcp::endpoint>> endpoints =
      co_await ResolveWith(url.host, url.port, &watchdog);
  if (!endpoints.ok()) co_return std::move(endpoints).error();
  Result<tcp::socket> socket = co_await ConnectWith(*endpoints, &watchdog);
  if (!socket.ok()) co_return std::move(socket).error();
  watchdog.Disarm();

  co_return co_await Secure(url.host, std::move(*socket), deadline,
                            timeouts.idle);
}

}  // namespace talvoro
