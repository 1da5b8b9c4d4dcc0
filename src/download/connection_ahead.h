// A connection opened before its request is ready.
//
// At its start the program opens two connections (name lookup, TCP, TLS
// with the server's certificate checked): the first HEAD's and the GET's
// that follows it, while its window is being built. The HEAD goes out once
// the download starts, and the GET on its connection, already made, once
// the HEAD has been answered: the set-ups overlap the window and the HEAD's
// round trip instead of following them. A later attempt opens its GET's
// connection together with its HEAD's. A GET's connection that is not used
// (a redirect, an error, nothing to download) is closed unused.
#ifndef TALVORO_DOWNLOAD_CONNECTION_AHEAD_H_
#define TALVORO_DOWNLOAD_CONNECTION_AHEAD_H_

#include <asio.hpp>
#include <memory>
#include <optional>

#include "base/error.h"
#include "download/connection.h"
#include "download/tls.h"
#include "download/url.h"

namespace talvoro {

class ConnectionAhead {
 public:
  // Starts opening a connection to `url` as OpenSecureStream does with
  // `options`, on the engine's executor, from any thread; with `with_next`,
  // a second one to the same address too, for the request that follows
  // (TakeNext). A connection waits there for Take; it is closed unused when
  // the last reference to its object goes and nobody took it.
  static std::shared_ptr<ConnectionAhead> Open(ParsedUrl url,
                                               ConnectOptions options,
                                               bool with_next = false);

  // The second connection opened with this one (see Open), when it is for
  // `url` and was not taken before; null otherwise. Any thread that owns
  // the object alone.
  std::shared_ptr<ConnectionAhead> TakeNext(const ParsedUrl& url);

  // The connection (or the error that ended its opening), awaited until
  // its opening ends, when it was opened for `url` (the same host, port and
  // path) and not taken before; nullopt otherwise. On the engine's
  // executor only.
  asio::awaitable<std::optional<Result<SecureStream>>> Take(
      const ParsedUrl& url);

  // Whether the connection is for `url` (the same host, port and path).
  bool OpenedFor(const ParsedUrl& url) const;

 private:
  explicit ConnectionAhead(ParsedUrl url);
  static asio::awaitable<void> Run(std::shared_ptr<ConnectionAhead> self,
                                   ConnectOptions options);

  const ParsedUrl url_;
  // Cancelled when `opened_` is set; Take waits on it until then.
  asio::steady_timer wake_;
  std::optional<Result<SecureStream>> opened_;
  bool taken_ = false;
  std::shared_ptr<ConnectionAhead> next_;
};

}  // namespace talvoro

#endif  // TALVORO_DOWNLOAD_CONNECTION_AHEAD_H_
