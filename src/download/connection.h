// Opening an encrypted connection to the download server.
//
// Each request of the download opens its own connection through
// OpenSecureStream: resolve the host, connect to the addresses in staggered
// attempts (the first to answer wins), through the system's HTTP proxy
// where it names one (the next of its choices when a proxy cannot be
// reached), and run the TLS handshake with the origin. Nothing is
// cached between connections.
#ifndef TALVORO_DOWNLOAD_CONNECTION_H_
#define TALVORO_DOWNLOAD_CONNECTION_H_

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/report.h"
#include "download/proxy.h"
#include "download/proxy_auth.h"
#include "download/tls.h"
#include "download/url.h"

namespace talvoro {

class ConnectionAhead;

// Resolving, connecting (the proxy's tunnel included) and the handshake
// together must finish within this.
inline constexpr std::chrono::seconds kConnectTimeout{30};
// A read or a write on an open connection fails after this long without a
// single byte moving.
inline constexpr std::chrono::seconds kIdleTimeout{60};
// The next address is tried this long after the previous attempt started,
// while that one is still pending (or at once when it fails).
inline constexpr std::chrono::milliseconds kAttemptDelay{250};

inline constexpr char kNoAddressesMessage[] =
    "could not connect to any of the addresses";
inline constexpr char kProxyAuthMessage[] = "proxy requires authentication";

// A blocking name lookup: the addresses of `host` and `port` in the
// resolver's order, or a kNetwork error with the resolver's text.
using NameLookup = std::function<Result<std::vector<asio::ip::tcp::endpoint>>(
    const std::string& host, uint16_t port)>;

// How connections are made. The program uses the defaults; tests shorten
// the times or replace the lookups.
struct ConnectOptions {
  std::chrono::steady_clock::duration connect_timeout = kConnectTimeout;
  std::chrono::steady_clock::duration idle_timeout = kIdleTimeout;
  std::chrono::steady_clock::duration attempt_delay = kAttemptDelay;
  // Empty: the system's resolver.
  NameLookup lookup = nullptr;
  // Empty: the system's proxy settings (SystemProxyFor).
  ProxyLookup proxy = nullptr;
  // A connection opened ahead, taken by the first OpenSecureStream for its
  // address instead of a new one (empty: none).
  std::shared_ptr<ConnectionAhead> ahead = nullptr;
  // Whether the GET's connection is opened together with each HEAD's
  // (HeadInfo::next), to be closed unused after a redirect or an error;
  // otherwise each request opens its connection when it is sent.
  bool open_next_ahead = false;
  // Where the engine's lines and details go (null: ConsoleReporter()). Not
  // owned; must outlive the download.
  Reporter* reporter = nullptr;
  // Test builds only: the identity the Windows sign-in to a proxy uses
  // instead of the logged-on user's (proxy_auth.h; null: the user's). Not
  // owned; must outlive the download.
  const SignInIdentity* sign_in_identity = nullptr;
};

// Resolves `host` and `port` into the addresses in the resolver's order.
// The lookup runs on a thread of its own, off the event loop; within
// OpenSecureStream a lookup still running at the deadline is abandoned
// (the thread finishes on its own). Errors are kNetwork with the
// resolver's text.
asio::awaitable<Result<std::vector<asio::ip::tcp::endpoint>>> Resolve(
    std::string host, uint16_t port, ConnectOptions options = {});

// The order in which the addresses are tried: the families alternate,
// starting with the family of the first address; within a family the
// resolver's order stays.
std::vector<asio::ip::tcp::endpoint> InterleaveFamilies(
    const std::vector<asio::ip::tcp::endpoint>& endpoints);

// Connects to `endpoints` in staggered attempts, in InterleaveFamilies
// order: each attempt starts options.attempt_delay after the previous one,
// or at once when every earlier attempt has failed; the first to connect
// wins and the others are closed. Errors are kNetwork: the last failure
// when every attempt fails, "could not connect to any of the addresses"
// when the list is empty.
asio::awaitable<Result<asio::ip::tcp::socket>> ConnectToList(
    std::vector<asio::ip::tcp::endpoint> endpoints,
    ConnectOptions options = {});

// Resolves, connects (through the proxy's tunnel if there is one) and
// secures a connection to `url`'s host and port (or takes the one
// options.ahead opened for `url`, with what its opening gave), all within the
// connect time-out; the stream then uses the idle time-out. The proxy lookup
// (options.proxy, which may block) runs off the event loop within that
// time-out too. Its choices are tried in order: one whose proxy cannot be
// resolved or connected to passes to the next; a proxy that answers but
// refuses the tunnel ends the attempt. Errors are kNetwork (see Resolve,
// ConnectToList and Secure; the lookup's error; when no choice can be
// reached, the last one's failure, "cannot reach the proxy <host:port>:
// ..." for a proxy). A proxy that answers 407 is signed in to
// (proxy_auth.h), on the same connection while the proxy keeps it open,
// else on a new one; a sign-in that cannot be given or is refused ends the
// attempt with "proxy requires authentication (offered: ...); ..." (cause
// kProxySignIn), any other refusal with "proxy refused the tunnel: " and
// the proxy's status line (cause kProxyRefused). Each connection's proxy
// decision goes to the reporter's log: "proxy: none" or "proxy: host:port
// (environment|system settings|proxy script)".
asio::awaitable<Result<SecureStream>> OpenSecureStream(
    ParsedUrl url, ConnectOptions options = {});

}  // namespace talvoro

#endif  // TALVORO_DOWNLOAD_CONNECTION_H_
