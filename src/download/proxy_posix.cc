// The proxy from the environment, read as curl reads it: https_proxy before
// HTTPS_PROXY, and no_proxy before NO_PROXY for the hosts that go direct.
#include <cstdlib>

#include "download/proxy.h"

namespace talvoro {

namespace {

const char* Variable(const char* lower, const char* upper) {
  const char* value = std::getenv(lower);
  if (value == nullptr || *value == '\0') value = std::getenv(upper);
  if (value == nullptr || *value == '\0') return nullptr;
  return value;
}

}  // namespace

Result<std::vector<ProxyChoice>> SystemProxyFor(const ParsedUrl& url,
                                                Reporter*) {
  const char* proxy = Variable("https_proxy", "HTTPS_PROXY");
  if (proxy == nullptr) return std::vector<ProxyChoice>{std::nullopt};
  if (const char* bypass = Variable("no_proxy", "NO_PROXY")) {
    if (BypassesProxy(url.host, bypass)) {
      return std::vector<ProxyChoice>{std::nullopt};
    }
  }
  Result<ProxyServer> server = ParseProxyAddress(proxy);
  if (!server.ok()) return std::move(server).error();
  return std::vector<ProxyChoice>{std::move(server).value()};
}

}  // namespace talvoro
