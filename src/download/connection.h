// Opening an encrypted connection to the download server.
//
// Each request of the download opens its own connection through
// OpenSecureStream: resolve the host, connect to the first address that
// accepts, run the TLS handshake. Nothing is cached between connections.
#ifndef TALVORO_DOWNLOAD_CONNECTION_H_
#define TALVORO_DOWNLOAD_CONNECTION_H_

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/error.h"
#include "download/tls.h"
#include "download/url.h"

namespace talvoro {

// Resolving, connecting and the handshake together must finish within this.
inline constexpr std::chrono::seconds kConnectTimeout{30};
// A read or a write on an open connection fails after this long without a
// single byte moving.
inline constexpr std::chrono::seconds kIdleTimeout{60};

inline constexpr char kNoAddressesMessage[] =
    "could not connect to any of the addresses";

struct Timeouts {
  std::chrono::steady_clock::duration connect = kConnectTimeout;
  std::chrono::steady_clock::duration idle = kIdleTimeout;
};

// The time-outs used by connections opened from now on. Tests shorten them;
// the program never calls SetTimeouts. Call it while no download runs.
void SetTimeouts(const Timeouts& timeouts);
Timeouts GetTimeouts();

// A blocking name lookup: the addresses of `host` and `port` in the
// resolver's order, or a kNetwork error with the resolver's text.
using NameLookup = std::function<Result<std::vector<asio::ip::tcp::endpoint>>(
    const std::string& host, uint16_t port)>;

// Replaces the system's lookup (a seam for tests: a lookup that hangs);
// nullptr restores it. Call it while no download runs.
void SetNameLookup(NameLookup lookup);

// Resolves `host` and `port` with the system's resolver into the addresses
// in the resolver's order. The lookup runs on a thread of its own, off the
// event loop; within OpenSecureStream a lookup still running at the
// deadline is abandoned (the thread finishes on its own). Errors are
// kNetwork with the resolver's text.
asio::awaitable<Result<std::vector<asio::ip::tcp::endpoint>>> Resolve(
    std::string host, uint16_t port);

// Tries `endpoints` in order and returns the socket of the first that
// accepts; the rest are not tried. Errors are kNetwork: the last attempt's
// error when all fail, "could not connect to any of the addresses" when the
// list is empty.
asio::awaitable<Result<asio::ip::tcp::socket>> ConnectToList(
    std::vector<asio::ip::tcp::endpoint> endpoints);

// Resolves, connects and secures a connection to `url`'s host and port,
// all within the connect time-out; the stream then uses the idle time-out.
// Errors are kNetwork (see Resolve, ConnectToList and Secure).
asio::awaitable<Result<SecureStream>> OpenSecureStream(ParsedUrl url);

}  // namespace talvoro

#endif  // TALVORO_DOWNLOAD_CONNECTION_H_
