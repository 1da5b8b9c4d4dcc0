// The HTTP proxy that the system names for the download's connections.
//
// Where the only way out is an HTTP proxy, each connection is a tunnel
// through it ("CONNECT host:port"), with TLS to the origin inside exactly
// as without one. The settings are read where the platform keeps them:
// proxy_posix.cc reads https_proxy / HTTPS_PROXY and no_proxy / NO_PROXY as
// curl does; proxy_win.cc the user's proxy settings.
#ifndef TALVORO_DOWNLOAD_PROXY_H_
#define TALVORO_DOWNLOAD_PROXY_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.h"

namespace talvoro {

struct ProxyServer {
  std::string host;
  uint16_t port = 0;

  bool operator==(const ProxyServer&) const = default;
};

// Which proxy to use for a connection to `host`: nullopt for a direct one.
// Errors (kNetwork) for a setting that names no usable proxy.
using ProxyLookup =
    std::function<Result<std::optional<ProxyServer>>(std::string_view host)>;

// The system's choice for `host` (see the top of this file). Reads the
// settings at each call; safe from any thread. Errors (kNetwork): an
// unusable setting, and on Windows "cannot load winhttp.dll from the system
// folder: ..." (base/system_library.h).
Result<std::optional<ProxyServer>> SystemProxyFor(std::string_view host);

// Parses a proxy address: "host:port" or "http://host:port", with an
// optional trailing "/", an IPv6 literal in brackets, and the port 1080
// when none is given (as curl does). Credentials and other schemes are not
// supported. Errors (kNetwork): "unusable proxy setting: <text>".
Result<ProxyServer> ParseProxyAddress(std::string_view text);

// Whether `host` is exempt from the proxy by `list`, in the form of
// no_proxy: names separated by commas (or semicolons, or blanks), "*" for
// every host, a name matching itself and its subdomains (a leading "." or
// "*." allowed), case-insensitive, and "<local>" (as Windows writes it)
// for every host name without a dot.
bool BypassesProxy(std::string_view host, std::string_view list);

}  // namespace talvoro

#endif  // TALVORO_DOWNLOAD_PROXY_H_
