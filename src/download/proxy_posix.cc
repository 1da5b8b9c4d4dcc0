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

Result<std::optional<ProxyServer>> SystemProxyFor(std::string_view host) {
  const char* proxy = Variable("https_proxy", "HTTPS_PROXY");
  if (proxy == nullptr) return std::optional<ProxyServer>();
  if (const char* bypass = Variable("no_proxy", "NO_PROXY")) {
    if (BypassesProxy(host, bypass)) return std::optional<ProxyServer>();
  }
  Result<ProxyServer> server = ParseProxyAddress(proxy);
  if (!server.ok()) return std::move(server).error();
  return std::optional<ProxyServer>(std::move(server).value());
}

}  // namespace talvoro
