#include "download/proxy.h"

#include <algorithm>
#include <optional>

#include "download/http_parse.h"
#include "download/parse_int.h"

namespace talvoro {

namespace {

constexpr uint16_t kDefaultProxyPort = 1080;

bool EndsWithIgnoringCase(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         EqualsIgnoringCase(text.substr(text.size() - suffix.size()), suffix);
}

// The next entry of a proxy list at `*rest`, moving past it; empty at the
// end.
std::string_view NextListEntry(std::string_view* rest) {
  const size_t begin = rest->find_first_not_of("; \t");
  if (begin == std::string_view::npos) {
    *rest = {};
    return {};
  }
  rest->remove_prefix(begin);
  const size_t end = std::min(rest->find_first_of("; \t"), rest->size());
  const std::string_view entry = rest->substr(0, end);
  rest->remove_prefix(end);
  return entry;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// `text` with each "%XX" replaced by its byte; nullopt for a "%" not
// followed by two hexadecimal digits.
std::optional<std::string> PercentDecoded(std::string_view text) {
  std::string decoded;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      decoded.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return {};
    const int high = HexDigit(text[i + 1]), low = HexDigit(text[i + 2]);
    if (high < 0 || low < 0) return {};
    decoded.push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  return decoded;
}

// Takes "user:password@" (or "user@") from the front of `rest` into
// `proxy`. False for user info that does not decode.
bool TakeUserInfo(std::string_view* rest, ProxyServer* proxy) {
  const size_t at = rest->rfind('@');
  if (at == std::string_view::npos) return true;
  const std::string_view info = rest->substr(0, at);
  rest->remove_prefix(at + 1);
  const size_t colon = info.find(':');
  std::optional<std::string> user = PercentDecoded(info.substr(0, colon));
  std::optional<std::string> password =
      PercentDecoded(colon == std::string_view::npos ? std::string_view()
                                                     : info.substr(colon + 1));
  if (!user || !password || user->empty()) return false;
  proxy->user = std::move(*user);
  proxy->password = std::move(*password);
  return true;
}

// `list` with the user info of each entry replaced (WithoutUserInfo).
std::string ListWithoutUserInfo(std::string_view list) {
  std::string text;
  while (!list.empty()) {
    const size_t end = std::min(list.find_first_of("; \t"), list.size());
    text += WithoutUserInfo(list.substr(0, end));
    if (end < list.size()) text.push_back(list[end]);
    list.remove_prefix(std::min(end + 1, list.size()));
  }
  return text;
}

}  // namespace

Result<ProxyServer> ParseProxyAddress(std::string_view text) {
  const Error unusable =
      NetworkError("unusable proxy setting: " + WithoutUserInfo(text));
  std::string_view rest = text;
  if (const size_t scheme = rest.find("://");
      scheme != std::string_view::npos) {
    if (!EqualsIgnoringCase(rest.substr(0, scheme), "http")) return unusable;
    rest.remove_prefix(scheme + 3);
  }
  if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
  ProxyServer proxy;
  if (!TakeUserInfo(&rest, &proxy)) return unusable;
  if (rest.empty() || rest.find_first_of("/@ ") != std::string_view::npos) {
    return unusable;
  }
  std::string_view port_text;
  if (rest.front() == '[') {
    const size_t close = rest.find(']');
    if (close == std::string_view::npos) return unusable;
    proxy.host = std::string(rest.substr(1, close - 1));
    rest.remove_prefix(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return unusable;
      port_text = rest.substr(1);
    }
  } else {
    const size_t colon = rest.find(':');
    proxy.host = std::string(rest.substr(0, colon));
    if (colon != std::string_view::npos) port_text = rest.substr(colon + 1);
  }
  if (proxy.host.empty()) return unusable;
  proxy.port = kDefaultProxyPort;
  if (!port_text.empty() || rest.find(':') != std::string_view::npos) {
    Result<uint64_t> port =
        ParseUnsigned(port_text, 65535, ErrorKind::kNetwork);
    if (!port.ok() || *port == 0) return unusable;
    proxy.port = static_cast<uint16_t>(*port);
  }
  return proxy;
}

bool BypassesProxy(std::string_view host, std::string_view list) {
  size_t begin = 0;
  while (begin <= list.size()) {
    size_t end = list.find_first_of(",; \t", begin);
    if (end == std::string_view::npos) end = list.size();
    std::string_view entry = list.substr(begin, end - begin);
    begin = end + 1;
    if (entry.empty()) continue;
    if (entry == "*") return true;
    if (entry == "<local>") {
      if (host.find('.') == std::string_view::npos) return true;
      continue;
    }
    if (entry.substr(0, 2) == "*.") entry.remove_prefix(1);
    if (entry.front() == '.') entry.remove_prefix(1);
    if (entry.empty()) continue;
    if (EqualsIgnoringCase(host, entry)) return true;
    if (host.size() > entry.size() && EndsWithIgnoringCase(host, entry) &&
        host[host.size() - entry.size() - 1] == '.') {
      return true;
    }
  }
  return false;
}

Result<std::vector<ProxyChoice>> ParseProxyList(std::string_view list) {
  std::vector<ProxyChoice> choices;
  std::string_view rest = list;
  for (std::string_view entry = NextListEntry(&rest); !entry.empty();
       entry = NextListEntry(&rest)) {
    if (EqualsIgnoringCase(entry, "DIRECT")) {
      choices.emplace_back();
      continue;
    }
    if (EqualsIgnoringCase(entry, "HTTPS") ||
        EqualsIgnoringCase(entry.substr(0, 5), "SOCKS")) {
      NextListEntry(&rest);  // a kind of proxy not supported
      continue;
    }
    if (EqualsIgnoringCase(entry, "PROXY") ||
        EqualsIgnoringCase(entry, "HTTP")) {
      entry = NextListEntry(&rest);
    }
    Result<ProxyServer> server = ParseProxyAddress(entry);
    if (!server.ok()) return std::move(server).error();
    server->source = ProxySource::kScript;
    choices.emplace_back(std::move(server).value());
  }
  if (choices.empty()) {
    return NetworkError("unusable proxy setting: " + ListWithoutUserInfo(list));
  }
  return choices;
}

const char* DescribeProxySource(ProxySource source) {
  switch (source) {
    case ProxySource::kEnvironment:
      return "environment";
    case ProxySource::kSettings:
      return "system settings";
    case ProxySource::kScript:
      return "proxy script";
  }
  return "";
}

std::string DescribeProxyChoice(const ProxyChoice& choice) {
  if (!choice) return "直接连接";
  const bool ipv6 = choice->host.find(':') != std::string::npos;
  return (ipv6 ? "[" + choice->host + "]" : choice->host) + ":" +
         std::to_string(choice->port);
}

}  // namespace talvoro
