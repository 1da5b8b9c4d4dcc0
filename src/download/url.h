// Splitting the download address into host, port and request path.
#ifndef TALVORO_DOWNLOAD_URL_H_
#define TALVORO_DOWNLOAD_URL_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "base/error.h"

namespace talvoro {

inline constexpr uint16_t kDefaultHttpsPort = 443;
inline constexpr char kInvalidUrlMessage[] = "Invalid URL format";

struct ParsedUrl {
  std::string host;  // without the port; may be an IP literal
  uint16_t port = kDefaultHttpsPort;
  std::string path;  // always begins with "/"
};

// Parses "scheme://authority/rest". The text must contain "//" exactly once
// (the scheme before it is not examined: every connection uses TLS). The
// authority ends at the first "/" after it; the path is "/" followed by the
// rest. An authority "host:port" gives the port parsed as a decimal number up
// to 65535, otherwise the port is 443.
// Errors (kind kInput): "Invalid URL format", or the integer-parse message of
// the port text (see parse_int.h).
Result<ParsedUrl> ParseUrl(std::string_view url);

// The value of the Host header for `url` (RFC 9110 7.2): the host, an IPv6
// literal in brackets, followed by ":<port>" unless the port is 443.
std::string HostHeaderValue(const ParsedUrl& url);

// The address a redirect's Location names, from the address `base` that
// answered: an absolute "https://..." address, a scheme-relative "//host/..."
// one, an absolute path ("/...") or a path relative to the folder of
// `base`'s path; a fragment ("#...") is dropped. Errors (kind kProtocol):
// "redirect to a non-https address refused: <location>" for another scheme,
// "unusable redirect address: <location>" for one ParseUrl refuses or
// without a host (<location> without its user info, see WithoutUserInfo).
Result<ParsedUrl> ResolveRedirect(const ParsedUrl& base,
                                  std::string_view location);

// `url` with the user info of its authority ("user:password@") replaced by
// "***@", for every address that goes into a line or the log. The
// authority begins after "://" (at the start of a text without a scheme,
// such as "user:pw@host:port") and ends at the first "/", "?" or "#"; its
// user info is everything up to its last "@". Other texts are returned as
// they are.
std::string WithoutUserInfo(std::string_view url);

}  // namespace talvoro

#endif  // TALVORO_DOWNLOAD_URL_H_
