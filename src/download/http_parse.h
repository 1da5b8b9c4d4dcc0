// The pure pieces of reading an HTTP/1.x answer head, shared by the HEAD
// and GET exchanges, their redirects and the proxy's answer to CONNECT:
// one status-line parser and one header-field matcher. Field names are
// matched without regard to case, as HTTP defines them (and as HTTP/2 hops
// lower-case them on the way).
#ifndef TALVORO_DOWNLOAD_HTTP_PARSE_H_
#define TALVORO_DOWNLOAD_HTTP_PARSE_H_

#include <optional>
#include <string_view>

namespace talvoro {

// Whether `a` and `b` are equal when ASCII letters are folded to one case.
// Other bytes (UTF-8 included) must be equal as they stand.
bool EqualsIgnoringCase(std::string_view a, std::string_view b);

// The start of a status line: "<8-byte version> <3-digit code>".
struct StatusLine {
  // The first 8 bytes as they stand ("HTTP/1.1"); not checked here.
  std::string_view version;
  int code = 0;
  // Whether the code ends the line or is followed by a blank or a line
  // break (so that "HTTP/1.1 3071" is not a 307).
  bool code_alone = false;
};

// Reads the start of `text` as a status line: at least 12 bytes, a blank
// at offset 8 and three ASCII digits after it. Whatever follows the code is
// not looked at beyond `code_alone`. nullopt for anything else. The callers
// decide which versions and codes they accept.
std::optional<StatusLine> ParseStatusLine(std::string_view text);

// Whether `text` begins with the status line "HTTP/1.1 <code>" (a longer
// run of digits after it too, as in "HTTP/1.1 2000").
bool IsHttp11Status(std::string_view text, int code);

// The value of a header line "<name>:<value>" whose name is `name` in any
// case, trimmed of white space at both ends (text.h's TrimWhiteSpace); the
// colon must follow the name at once. nullopt for any other line. `line`
// carries no line break (a "\r" or "\n" at its end is trimmed with the
// value).
std::optional<std::string_view> HeaderValue(std::string_view line,
                                            std::string_view name);

// The first line of `rest` (without its "\n" and a "\r" before it),
// removed from `rest`; a last piece without "\n" is a line too.
std::string_view TakeLine(std::string_view& rest);

}  // namespace talvoro

#endif  // TALVORO_DOWNLOAD_HTTP_PARSE_H_
