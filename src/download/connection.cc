#include "download/connection.h"

#include <asio/experimental/as_tuple.hpp>
#include <memory>
#include <optional>
#include <thread>

#include "download/watchdog.h"

namespace talvoro {

namespace {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;
constexpr auto kNoThrow = asio::experimental::as_tuple(asio::use_awaitable);

Timeouts g_timeouts;
NameLookup g_lookup;

using Endpoints = std::vector<tcp::endpoint>;

Result<Endpoints> SystemLookup(const std::string& host, uint16_t port) {
  asio::io_context context;
  tcp::resolver resolver(context);
  asio::error_code ec;
  auto results = resolver.resolve(host, std::to_string(port), ec);
  if (ec) return NetworkError(ec.message());
  Endpoints endpoints;
  for (const auto& entry : results) endpoints.push_back(entry.endpoint());
  return endpoints;
}

// One lookup on its own thread. The coroutine waits on `wake`, which the
// thread (through the executor) or the watchdog cancels; everything but
// `result` is touched on the executor only.
struct Lookup {
  explicit Lookup(const asio::any_io_executor& executor)
      : wake(executor, asio::steady_timer::time_point::max()) {}
  asio::steady_timer wake;
  std::optional<Result<Endpoints>> result;
};

// The shared steps of Resolve and ConnectToList; `watchdog` (may be null)
// bounds them with a deadline armed by the caller. Asio's resolver cannot
// stop a lookup once the system has it, so the lookup runs on a detached
// thread that is simply not waited for past the deadline.
asio::awaitable<Result<Endpoints>> ResolveWith(const std::string& host,
                                               uint16_t port,
                                               Watchdog* watchdog) {
  auto executor = co_await asio::this_coro::executor;
  auto lookup = std::make_shared<Lookup>(executor);
  NameLookup function = g_lookup ? g_lookup : NameLookup(SystemLookup);
  std::thread([lookup, executor, function, host, port] {
    Result<Endpoints> result = function(host, port);
    asio::post(executor, [lookup, result = std::move(result)]() mutable {
      lookup->result.emplace(std::move(result));
      lookup->wake.cancel();
    });
  }).detach();

  if (watchdog) watchdog->SetAction([lookup] { lookup->wake.cancel(); });
  while (!lookup->result && !(watchdog && watchdog->expired())) {
    co_await lookup->wake.async_wait(kNoThrow);
  }
  if (watchdog) watchdog->SetAction(nullptr);
  if (!lookup->result) co_return NetworkError(kTimedOutMessage);
  co_return std::move(*lookup->result);
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
void SetNameLookup(NameLookup lookup) { g_lookup = std::move(lookup); }
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
