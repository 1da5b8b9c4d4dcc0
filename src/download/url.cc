#include "download/url.h"

#include <algorithm>
#include <cctype>

#include "download/parse_int.h"

namespace talvoro {

Result<ParsedUrl> ParseUrl(std::string_view url) {
  const size_t sep = url.find("//");
  if (sep == std::string_view::npos ||
      url.find("//", sep + 2) != std::string_view::npos) {
    return InputError(kInvalidUrlMessage);
  }
  std::string_view rest = url.substr(sep + 2);
  std::string_view authority = rest;
  std::string_view tail;
  if (const size_t slash = rest.find('/'); slash != std::string_view::npos) {
    authority = rest.substr(0, slash);
    tail = rest.substr(slash + 1);
  }

  ParsedUrl parsed;
  parsed.path.push_back('/');
  parsed.path.append(tail);

  const size_t colon = authority.find(':');
  if (colon == std::string_view::npos) {
    parsed.host = std::string(authority);
    return parsed;
  }
  parsed.host = std::string(authority.substr(0, colon));
  Result<uint64_t> port =
      ParseUnsigned(authority.substr(colon + 1), 65535, ErrorKind::kInput);
  if (!port.ok()) return std::move(port).error();
  parsed.port = static_cast<uint16_t>(*port);
  return parsed;
}

std::string HostHeaderValue(const ParsedUrl& url) {
  std::string value =
      url.host.find(':') == std::string::npos ? url.host : "[" + url.host + "]";
  if (url.port != kDefaultHttpsPort) {
    value.append(":").append(std::to_string(url.port));
  }
  return value;
}

Result<ParsedUrl> ResolveRedirect(const ParsedUrl& base,
                                  std::string_view location) {
  location = location.substr(0, location.find('#'));
  const std::string text = WithoutUserInfo(location);  // for the errors
  const size_t scheme_end = location.find("://");
  const size_t first_slash = location.find('/');
  if (location.substr(0, 2) == "//" ||
      (scheme_end != std::string_view::npos && scheme_end < first_slash)) {
    if (scheme_end != std::string_view::npos && location.substr(0, 2) != "//") {
      std::string scheme(location.substr(0, scheme_end));
      for (char& c : scheme) c = static_cast<char>(std::tolower(c));
      if (scheme != "https") {
        return ProtocolError("redirect to a non-https address refused: " +
                             text);
      }
    }
    Result<ParsedUrl> parsed = ParseUrl(location);
    if (!parsed.ok() || parsed->host.empty()) {
      return ProtocolError("unusable redirect address: " + text);
    }
    return parsed;
  }
  ParsedUrl next = base;
  if (location.empty() || location.front() != '/') {
    // Relative to the folder of the current path (which begins with "/").
    next.path = base.path.substr(0, base.path.rfind('/') + 1);
  } else {
    next.path.clear();
  }
  next.path.append(location);
  return next;
}

std::string WithoutUserInfo(std::string_view url) {
  const size_t scheme = url.find("://");
  const size_t begin = scheme == std::string_view::npos ? 0 : scheme + 3;
  const size_t end = std::min(url.find_first_of("/?#", begin), url.size());
  const size_t at = url.substr(begin, end - begin).rfind('@');
  if (at == std::string_view::npos) return std::string(url);
  return std::string(url.substr(0, begin)) + "***" +
         std::string(url.substr(begin + at));
}

}  // namespace talvoro
