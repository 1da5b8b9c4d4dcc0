// The proxy from the user's settings (what the system's own programs use):
// the "https=" entry of a per-protocol list, or the one proxy for all; the
// bypass list with "<local>". Automatic configuration scripts are not
// evaluated: a user who has only those gets a direct connection.
//
// winhttp is loaded from System32 at the first lookup, never imported
// (base/system_library.h).
#include <windows.h>
#include <winhttp.h>

#include "base/system_library.h"
#include "base/win32_text.h"
#include "download/proxy.h"

namespace talvoro {

namespace {

// The entry for https of a list such as "http=a:80;https=b:443", or the
// whole text when it names one proxy for every protocol.
std::string HttpsEntry(const std::string& list) {
  if (list.find('=') == std::string::npos) {
    const size_t end = list.find_first_of("; ");
    return list.substr(0, end);
  }
  size_t begin = 0;
  while (begin < list.size()) {
    size_t end = list.find_first_of("; ", begin);
    if (end == std::string::npos) end = list.size();
    const std::string entry = list.substr(begin, end - begin);
    if (entry.rfind("https=", 0) == 0) return entry.substr(6);
    begin = end + 1;
  }
  return {};
}

}  // namespace

Result<std::optional<ProxyServer>> SystemProxyFor(std::string_view host) {
  auto read_settings =
      SystemFunctionOf<decltype(WinHttpGetIEProxyConfigForCurrentUser)>(
          L"winhttp.dll", "WinHttpGetIEProxyConfigForCurrentUser");
  if (!read_settings.ok()) {
    // No connection can be made without knowing whether a proxy is needed:
    // a network failure, which keeps the partial download.
    Error error = std::move(read_settings).error();
    error.kind = ErrorKind::kNetwork;
    return error;
  }
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
  if (!(*read_settings)(&config)) {
    return std::optional<ProxyServer>();
  }
  const std::string proxy =
      config.lpszProxy ? WideToUtf8(config.lpszProxy) : std::string();
  const std::string bypass = config.lpszProxyBypass
                                 ? WideToUtf8(config.lpszProxyBypass)
                                 : std::string();
  if (config.lpszAutoConfigUrl) GlobalFree(config.lpszAutoConfigUrl);
  if (config.lpszProxy) GlobalFree(config.lpszProxy);
  if (config.lpszProxyBypass) GlobalFree(config.lpszProxyBypass);

  const std::string entry = HttpsEntry(proxy);
  if (entry.empty() || BypassesProxy(host, bypass)) {
    return std::optional<ProxyServer>();
  }
  Result<ProxyServer> server = ParseProxyAddress(entry);
  if (!server.ok()) return std::move(server).error();
  return std::optional<ProxyServer>(std::move(server).value());
}

}  // namespace talvoro
