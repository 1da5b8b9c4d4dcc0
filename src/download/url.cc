#include "download/url.h"

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

}  // namespace talvoro
