#include "download/connection.h"

#include <memory>
#include <optional>
#include <thread>

#include "download/awaitable.h"
#include "download/connection_ahead.h"
#include "download/http_parse.h"
#include "download/parse_int.h"
#include "download/proxy_auth.h"
#include "download/text.h"
#include "download/user_agent.h"
#include "download/watchdog.h"

namespace talvoro {

namespace {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

// A proxy's answer to CONNECT may hold at most this many bytes.
constexpr size_t kMaxTunnelAnswerBytes = 16 * 1024;

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

// One blocking call on its own thread. The coroutine waits on `wake`,
// which the thread (through the executor) or the watchdog cancels;
// everything but `result` is touched on the executor only.
template <typename T>
struct OffLoopCall {
  explicit OffLoopCall(const asio::any_io_executor& executor)
      : wake(executor, asio::steady_timer::time_point::max()) {}
  asio::steady_timer wake;
  std::optional<Result<T>> result;
};

// Runs `work` (a blocking call: a name lookup, the system's proxy lookup)
// off the event loop. `watchdog` (may be null) bounds the wait with a
// deadline armed by the caller; a call that cannot be stopped runs on a
// detached thread that is simply not waited for past the deadline (it
// finishes on its own, `work` with it).
template <typename T>
asio::awaitable<Result<T>> RunOffLoop(std::function<Result<T>()> work,
                                      Watchdog* watchdog) {
  auto executor = co_await asio::this_coro::executor;
  auto call = std::make_shared<OffLoopCall<T>>(executor);
  std::thread([call, executor, work = std::move(work)] {
    Result<T> result = work();
    asio::post(executor, [call, result = std::move(result)]() mutable {
      call->result.emplace(std::move(result));
      call->wake.cancel();
    });
  }).detach();

  if (watchdog) watchdog->SetAction([call] { call->wake.cancel(); });
  while (!call->result && !(watchdog && watchdog->expired())) {
    co_await call->wake.async_wait(kNoThrow);
  }
  if (watchdog) watchdog->SetAction(nullptr);
  if (!call->result) co_return NetworkError(kTimedOutMessage);
  co_return std::move(*call->result);
}

asio::awaitable<Result<Endpoints>> ResolveWith(const std::string& host,
                                               uint16_t port,
                                               const NameLookup& lookup_with,
                                               Watchdog* watchdog) {
  NameLookup function = lookup_with ? lookup_with : NameLookup(SystemLookup);
  // A named function, not a temporary in the co_await expression: GCC 12
  // destroys such a temporary twice.
  std::function<Result<Endpoints>()> work = [function, host, port] {
    return function(host, port);
  };
  co_return co_await RunOffLoop<Endpoints>(std::move(work), watchdog);
}

// The connection attempts of one ConnectWith. The completion handlers and
// the coroutine all run on the engine's one thread; `wake` is cancelled
// whenever an attempt ends, so the coroutine looks at the state again.
struct Race {
  explicit Race(const asio::any_io_executor& executor)
      : executor(executor), wake(executor) {}

  void Start(const tcp::endpoint& endpoint, const std::shared_ptr<Race>& self) {
    auto socket = std::make_shared<tcp::socket>(executor);
    asio::error_code ec;
    socket->open(endpoint.protocol(), ec);
    if (ec) {
      last_error = ec;
      return;
    }
    sockets.push_back(socket);
    ++pending;
    socket->async_connect(endpoint, [self, socket](asio::error_code ec) {
      --self->pending;
      if (!ec && !self->winner && !self->abandoned) {
        self->winner.emplace(std::move(*socket));
      } else if (ec && ec != asio::error::operation_aborted) {
        self->last_error = ec;
      }
      self->wake.cancel();
    });
  }

  // Closes every attempt still pending.
  void CloseAll() {
    for (const auto& socket : sockets) {
      asio::error_code ignored;
      socket->close(ignored);
    }
  }

  asio::any_io_executor executor;
  asio::steady_timer wake;
  std::vector<std::shared_ptr<tcp::socket>> sockets;
  std::optional<tcp::socket> winner;
  std::optional<asio::error_code> last_error;
  size_t pending = 0;
  bool abandoned = false;
};

asio::awaitable<Result<tcp::socket>> ConnectWith(const Endpoints& endpoints,
                                                 Clock::duration delay,
                                                 Watchdog* watchdog) {
  const Endpoints order = InterleaveFamilies(endpoints);
  if (order.empty()) co_return NetworkError(kNoAddressesMessage);
  auto race = std::make_shared<Race>(co_await asio::this_coro::executor);
  if (watchdog) {
    watchdog->SetAction([race] {
      race->abandoned = true;
      race->CloseAll();
      race->wake.cancel();
    });
  }
  size_t next = 0;
  Clock::time_point last_start;
  while (!race->winner && !race->abandoned) {
    const bool more = next < order.size();
    if (more && (race->pending == 0 || Clock::now() >= last_start + delay)) {
      last_start = Clock::now();
      race->Start(order[next++], race);
      continue;
    }
    if (race->pending == 0) break;  // every attempt has failed
    race->wake.expires_at(more ? last_start + delay : Clock::time_point::max());
    co_await race->wake.async_wait(kNoThrow);
  }
  if (watchdog) watchdog->SetAction(nullptr);
  race->CloseAll();  // the attempts that lost (the winner was moved out)
  if (race->winner) co_return std::move(*race->winner);
  if (race->abandoned) co_return NetworkError(kTimedOutMessage);
  if (!race->last_error) co_return NetworkError(kNoAddressesMessage);
  co_return NetworkError(race->last_error->message());
}

// "host:port" as CONNECT names it, with an IPv6 literal in brackets.
std::string Authority(const ParsedUrl& url) {
  const bool ipv6 = url.host.find(':') != std::string::npos;
  return (ipv6 ? "[" + url.host + "]" : url.host) + ":" +
         std::to_string(url.port);
}

// The proxy's answer to one CONNECT.
struct TunnelAnswer {
  std::string head;  // the status line and the header lines
  std::string status;
  int code = 0;
  // Whether the proxy keeps the connection for the next CONNECT: HTTP/1.1
  // (or keep-alive asked for), no "close", and the body read.
  bool reusable = false;
};

// Whether `head` lets the connection be used again: the body's length is
// `*body`, known from Content-Length (a 407 without one runs to the close).
bool KeepsConnection(const TunnelAnswer& answer, size_t* body) {
  std::string_view rest = answer.head;
  TakeLine(rest);
  bool keep_alive = answer.status.starts_with("HTTP/1.1");
  std::optional<uint64_t> length;
  while (!rest.empty()) {
    const std::string_view line = TakeLine(rest);
    std::optional<std::string_view> value = HeaderValue(line, "Connection");
    if (!value) value = HeaderValue(line, "Proxy-Connection");
    if (value) keep_alive = EqualsIgnoringCase(*value, "keep-alive");
    if (auto text = HeaderValue(line, "Content-Length")) {
      Result<uint64_t> n =
          ParseUnsigned(*text, kMaxTunnelAnswerBytes, ErrorKind::kNetwork);
      length = n.ok() ? std::optional<uint64_t>(*n) : std::nullopt;
      if (!n.ok()) keep_alive = false;
    }
  }
  *body = length.value_or(0);
  return keep_alive && length.has_value();
}

// Sends one CONNECT for `url` on `socket` (with `authorization` as its
// Proxy-Authorization when not empty) and reads the answer's head, and the
// body of a refusal when the connection stays open.
asio::awaitable<Result<TunnelAnswer>> AskForTunnel(
    tcp::socket& socket, const ParsedUrl& url, const std::string& authorization,
    Watchdog& watchdog) {
  watchdog.SetAction([&socket] {
    asio::error_code ignored;
    socket.close(ignored);
  });
  const std::string authority = Authority(url);
  std::string request = "CONNECT " + authority +
                        " HTTP/1.1\r\nHost: " + authority + "\r\n" +
                        UserAgentLine() + "Proxy-Connection: keep-alive\r\n";
  if (!authorization.empty()) {
    request += "Proxy-Authorization: " + authorization + "\r\n";
  }
  request += "\r\n";
  auto [ec, written] =
      co_await asio::async_write(socket, asio::buffer(request), kNoThrow);
  std::string data;
  size_t head_end = 0;
  if (!ec) {
    // The origin says nothing before the client's hello, so nothing of the
    // tunnel is read past the answer's head.
    std::tie(ec, head_end) = co_await asio::async_read_until(
        socket, asio::dynamic_buffer(data, kMaxTunnelAnswerBytes), "\r\n\r\n",
        kNoThrow);
  }
  TunnelAnswer answer;
  if (!ec) {
    answer.head = data.substr(0, head_end);
    answer.status = std::string(
        TrimWhiteSpace(std::string_view(data).substr(0, data.find('\n'))));
    // "HTTP/1.x 200 ..."
    const std::optional<StatusLine> parsed = ParseStatusLine(answer.status);
    if (parsed && parsed->version.starts_with("HTTP/1.")) {
      answer.code = parsed->code;
    }
    size_t body = 0;
    if (answer.code != 200 && KeepsConnection(answer, &body) &&
        head_end + body <= kMaxTunnelAnswerBytes) {
      data.erase(0, head_end);
      if (data.size() < body) {
        std::tie(ec, std::ignore) = co_await asio::async_read(
            socket, asio::dynamic_buffer(data),
            asio::transfer_exactly(body - data.size()), kNoThrow);
      }
      answer.reusable = !ec && data.size() == body;
      ec = {};
    }
  }
  watchdog.SetAction(nullptr);
  if (watchdog.expired()) co_return NetworkError(kTimedOutMessage);
  if (ec == asio::error::not_found) {
    co_return NetworkError("proxy answer larger than " +
                           std::to_string(kMaxTunnelAnswerBytes) + " bytes");
  }
  if (ec) co_return NetworkError("proxy tunnel failed: " + ec.message());
  co_return answer;
}

// At most this many CONNECTs for one tunnel: NTLM needs two, Negotiate a
// few more at most.
constexpr int kMaxTunnelRounds = 5;

asio::awaitable<Result<tcp::socket>> ConnectTo(const ProxyChoice& choice,
                                               const ParsedUrl& url,
                                               const ConnectOptions& options,
                                               Watchdog& watchdog);

// Asks `proxy` (on `*socket`) for a tunnel to `url`'s host and port,
// signing in when it answers 407 (see OpenSecureStream); `*socket` is
// replaced when the proxy closes the connection after a 407.
asio::awaitable<Status> OpenTunnel(tcp::socket* socket,
                                   const ProxyServer& proxy,
                                   const ParsedUrl& url,
                                   const ConnectOptions& options,
                                   Watchdog& watchdog) {
  Reporter& reporter = ReporterOr(options.reporter);
  std::unique_ptr<ProxySignIn> sign_in;
  std::vector<AuthChallenge> offered;  // by the last 407
  std::string authorization;
  for (int round = 0; round < kMaxTunnelRounds; ++round) {
    Result<TunnelAnswer> answer =
        co_await AskForTunnel(*socket, url, authorization, watchdog);
    if (!answer.ok()) co_return std::move(answer).error();
    reporter.Detail("tunnel: CONNECT " + Authority(url) +
                    (authorization.empty() ? "" : " (signed in)") +
                    " answered " + answer->status);
    if (answer->code == 200) co_return Status::Ok();
    // Some proxies (tinyproxy) refuse credentials with a 401.
    if (answer->code == 401 && !authorization.empty()) {
      co_return SignInError(offered, "the user name or password was refused");
    }
    if (answer->code != 407) {
      Error error = NetworkError("proxy refused the tunnel: " + answer->status);
      error.cause = Cause::kProxyRefused;
      co_return error;
    }
    if (!sign_in) sign_in = NewProxySignIn(proxy, options.sign_in_identity);
    offered = ProxyChallenges(answer->head);
    Result<std::string> next = sign_in->Respond(offered);
    if (!next.ok()) co_return std::move(next).error();
    authorization = std::move(next).value();
    if (!answer->reusable) {
      Result<tcp::socket> fresh =
          co_await ConnectTo(ProxyChoice(proxy), url, options, watchdog);
      if (!fresh.ok()) co_return std::move(fresh).error();
      *socket = std::move(fresh).value();
    }
  }
  Error error = NetworkError(std::string(kProxyAuthMessage) +
                             "; the sign-in did not end after " +
                             std::to_string(kMaxTunnelRounds) + " rounds");
  error.cause = Cause::kProxySignIn;
  co_return error;
}

// A connection to `choice`'s proxy, or to the origin for a direct one. A
// failure to reach the proxy names it: the origin was never tried.
asio::awaitable<Result<tcp::socket>> ConnectTo(const ProxyChoice& choice,
                                               const ParsedUrl& url,
                                               const ConnectOptions& options,
                                               Watchdog& watchdog) {
  const std::string& host = choice ? choice->host : url.host;
  const uint16_t port = choice ? choice->port : url.port;
  auto via_proxy = [&](Error error) {
    if (choice) {
      error.message = "cannot reach the proxy " + DescribeProxyChoice(choice) +
                      ": " + error.message;
    }
    return error;
  };
  Result<Endpoints> endpoints =
      co_await ResolveWith(host, port, options.lookup, &watchdog);
  if (!endpoints.ok()) co_return via_proxy(std::move(endpoints).error());
  Result<tcp::socket> socket =
      co_await ConnectWith(*endpoints, options.attempt_delay, &watchdog);
  if (!socket.ok()) co_return via_proxy(std::move(socket).error());
  co_return socket;
}

// A socket that speaks to `url`'s origin (through a proxy's tunnel, or
// direct) by the first of `choices` that can be reached, in order, within
// the watchdog's deadline. A proxy that answers but refuses the tunnel
// ends the search with its answer: it was reached, and its refusal (a 407
// above all) is the network's policy, not a fault to route around.
asio::awaitable<Result<tcp::socket>> ConnectByChoices(
    const std::vector<ProxyChoice>& choices, const ParsedUrl& url,
    const ConnectOptions& options, Watchdog& watchdog) {
  std::optional<Error> last_error;
  for (const ProxyChoice& choice : choices) {
    ReporterOr(options.reporter)
        .Detail(choice ? "connection: through the proxy " +
                             DescribeProxyChoice(choice) + " (" +
                             DescribeProxySource(choice->source) + ")"
                       : std::string("connection: direct"));
    Result<tcp::socket> socket =
        co_await ConnectTo(choice, url, options, watchdog);
    if (!socket.ok()) {
      last_error = std::move(socket).error();
      if (watchdog.expired()) break;
      continue;
    }
    if (choice) {
      Status tunnel =
          co_await OpenTunnel(&*socket, *choice, url, options, watchdog);
      if (!tunnel.ok()) co_return tunnel.error();
    }
    co_return socket;
  }
  if (!last_error) co_return NetworkError(kNoAddressesMessage);
  co_return *std::move(last_error);
}

}  // namespace

Endpoints InterleaveFamilies(const Endpoints& endpoints) {
  Endpoints first_family, other_family;
  for (const tcp::endpoint& e : endpoints) {
    (e.protocol() == endpoints.front().protocol() ? first_family : other_family)
        .push_back(e);
  }
  Endpoints order;
  for (size_t i = 0; i < first_family.size() || i < other_family.size(); ++i) {
    if (i < first_family.size()) order.push_back(first_family[i]);
    if (i < other_family.size()) order.push_back(other_family[i]);
  }
  return order;
}

asio::awaitable<Result<std::vector<tcp::endpoint>>> Resolve(
    std::string host, uint16_t port, ConnectOptions options) {
  co_return co_await ResolveWith(host, port, options.lookup, nullptr);
}

asio::awaitable<Result<tcp::socket>> ConnectToList(
    std::vector<tcp::endpoint> endpoints, ConnectOptions options) {
  co_return co_await ConnectWith(endpoints, options.attempt_delay, nullptr);
}

namespace {

// OpenSecureStream on a connection of its own.
asio::awaitable<Result<SecureStream>> OpenNewSecureStream(
    ParsedUrl url, ConnectOptions options) {
  const Clock::time_point deadline = Clock::now() + options.connect_timeout;
  Watchdog watchdog(co_await asio::this_coro::executor, nullptr);
  watchdog.ArmUntil(deadline);

  ProxyLookup lookup =
      options.proxy
          ? options.proxy
          : ProxyLookup([reporter = options.reporter](const ParsedUrl& target) {
              return SystemProxyFor(target, reporter);
            });
  std::function<Result<std::vector<ProxyChoice>>()> work = [lookup, url] {
    return lookup(url);
  };
  Result<std::vector<ProxyChoice>> choices =
      co_await RunOffLoop<std::vector<ProxyChoice>>(std::move(work), &watchdog);
  if (!choices.ok()) co_return std::move(choices).error();
  Result<tcp::socket> socket =
      co_await ConnectByChoices(*choices, url, options, watchdog);
  if (!socket.ok()) co_return std::move(socket).error();
  watchdog.Disarm();

  co_return co_await Secure(url.host, std::move(*socket), deadline,
                            options.idle_timeout);
}

}  // namespace

asio::awaitable<Result<SecureStream>> OpenSecureStream(ParsedUrl url,
                                                       ConnectOptions options) {
  if (options.ahead) {
    std::optional<Result<SecureStream>> taken =
        co_await options.ahead->Take(url);
    if (taken) co_return std::move(*taken);
  }
  co_return co_await OpenNewSecureStream(std::move(url), std::move(options));
}

}  // namespace talvoro
