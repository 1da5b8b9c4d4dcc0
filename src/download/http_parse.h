// The pure parsers of HTTP/1.x answers, apart from any connection: one
// status-line parser and one header-field matcher (shared by the HEAD and
// GET exchanges, their redirects and the proxy's answer to CONNECT), the
// HEAD answer, redirects, the GET answer's head lines, the chunked framing
// and Content-Range. The exchanges that read and write the stream are in
// http.h; the fuzzers and unit tests use these without one. Field names are
// matched without regard to case, as HTTP defines them (and as HTTP/2 hops
// lower-case them on the way).
#ifndef TALVORO_DOWNLOAD_HTTP_PARSE_H_
#define TALVORO_DOWNLOAD_HTTP_PARSE_H_

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"

namespace talvoro {

inline constexpr char kHeadFailedPrefix[] = "HEAD 请求失败，响应: ";
inline constexpr char kGetFailedPrefix[] = "HTTP 请求失败，响应: ";

// Whether `a` and `b` are equal when ASCII letters are folded to one case.
// Other bytes (UTF-8 included) must be equal as they stand.
bool EqualsIgnoringCase(std::string_view a, std::string_view b);

// The start of a status line: "<8-byte version> <3-digit code>".
struct StatusLine {
  // The first 8 bytes as they stand ("HTTP/1.1"); not checked here.
  std::string_view version;
  int code = 0;
};

// Reads the start of `text` as a status line: at least 12 bytes, a blank
// at offset 8, exactly three ASCII digits after it, then the end of `text`,
// a blank or a line break ("HTTP/1.1 2000" and "HTTP/1.1 3071" are no
// status lines). Whatever follows is not looked at. nullopt for anything
// else. The callers decide which versions and codes they accept.
std::optional<StatusLine> ParseStatusLine(std::string_view text);

// Whether `text` begins with the status line "HTTP/1.1 <code>".
bool IsHttp11Status(std::string_view text, int code);

// Whether `code` says the server is busy or failing for now: 500, 502, 503,
// 504 or 429. Such an answer does not say the file changed.
bool IsServerBusyStatus(int code);

// The server's wait of a Retry-After value (`value` trimmed): delta-seconds
// (decimal digits; a huge number saturates) or an HTTP-date in any of its
// three forms (IMF-fixdate "Sun, 06 Nov 1994 08:49:37 GMT", the obsolete
// "Sunday, 06-Nov-94 08:49:37 GMT", whose two-digit year is the latest
// one not more than 50 years after `now`'s, and "Sun Nov  6 08:49:37
// 1994"), as the whole seconds from `now` to that time, rounded up; 0 for a
// time already past. nullopt for anything else (a date that does not exist,
// a blank inside the number, a sign).
std::optional<std::chrono::seconds> ParseRetryAfter(
    std::string_view value, std::chrono::system_clock::time_point now);

// The wait of the last "Retry-After" header line (any case) of the answer
// head `head` (a status line, then header lines up to an empty line or the
// end of the text), parsed by ParseRetryAfter at `now`; nullopt without one
// or when the last one does not parse.
std::optional<std::chrono::seconds> RetryAfterOf(
    std::string_view head, std::chrono::system_clock::time_point now);

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

// The error for a failed status: `prefix` followed by the trimmed
// `response`. kNetwork when nothing came back or the answer was cut short
// (`complete` false: it did not reach the status line's line break or the
// HEAD header block's empty line), kProtocol otherwise. A complete answer
// whose status line (HTTP/1.x) has a code IsServerBusyStatus accepts has
// the cause kServerBusy; for 429 and 503 its retry_after is
// RetryAfterOf(`response`, `now`).
Error StatusFailure(std::string_view prefix, std::string_view response,
                    bool complete = true,
                    std::chrono::system_clock::time_point now =
                        std::chrono::system_clock::now());

// Whether a HEAD answer contains the empty line that ends its headers.
bool HeaderBlockEnded(std::string_view response);

// One header of a HEAD answer that the download uses.
struct HeadField {
  enum Kind { kContentLength, kCrc, kEtag };
  Kind kind = kContentLength;
  uint64_t number = 0;    // kContentLength, kCrc
  std::string_view text;  // kEtag: trimmed, quotes kept
};

// A HEAD answer read, not yet acted on. Views into the response text, which
// must outlive it.
struct HeadAnswer {
  // The "Content-Length", "x-oss-hash-crc64ecma" and "ETag" lines in the
  // order they come (names in any case).
  std::vector<HeadField> fields;
  // The parse error of the number on the line after the last field, if
  // one failed: the lines before it are still acted on, then the error
  // ends the answer.
  std::optional<Error> error;
  // The last value of each (a repeated header: the last one wins).
  uint64_t content_length = 0;
  std::optional<uint64_t> crc;
  std::optional<std::string_view> etag;
};

// Reads a whole HEAD response without acting on it. Checks, in order: valid
// UTF-8 ("stream did not contain valid UTF-8"), the status ("HEAD 请求失败，
// 响应: " + the trimmed response unless it begins with "HTTP/1.1 200"), then
// every line against the names "Content-Length", "x-oss-hash-crc64ecma"
// and "ETag" (any case, the colon right after the name); the two numbers
// are decimal. Errors are kProtocol (or kNetwork for an empty response, a
// connection closed before any answer); a number that does not parse is
// kept in `error` instead.
Result<HeadAnswer> ReadHeadAnswer(std::string_view response);

// The location a redirect answer (status 301, 302, 307 or 308 of
// HTTP/1.1) points to: the value of its "Location" header (the name in any
// case), or nullopt for any other answer. A redirect without a Location is
// a kProtocol error.
Result<std::optional<std::string>> RedirectLocation(std::string_view response);

// The parts of a GET answer's head that the download uses.
struct GetHead {
  int status_code = 0;  // 200 or 206
  // The trimmed value of the "Content-Range" header; empty without one.
  std::string content_range;
  // Whether the body comes in the chunked transfer coding.
  bool chunked = false;
};

// The code of a GET answer's whole status line (its line break included):
// 200 or 206 for "HTTP/1.1 200" or "HTTP/1.1 206". Anything else is a
// kProtocol error, "stream did not contain valid UTF-8" if the line is not
// valid UTF-8, else "HTTP 请求失败，响应: " + the trimmed line.
Result<int> ParseGetStatus(std::string_view line);

// Takes one header line of a GET answer (a line break at its end is
// ignored) into `head`: "Content-Range" and "Transfer-Encoding" (names in
// any case); other lines are skipped. A transfer coding other than chunked
// alone is a kProtocol error "unsupported transfer coding: <value>".
Status TakeGetHeader(std::string_view line, GetHead* head);

// The size on a chunk-size line of a chunked body: hexadecimal digits (at
// most 16), then optionally extensions after ";" (ignored) and blanks;
// nullopt for anything else.
std::optional<uint64_t> ParseChunkSize(std::string_view line);

// The range a 206 answer says its body covers ("Content-Range: bytes
// first-last/total", total nullopt for "*").
struct ContentRange {
  uint64_t first = 0;
  uint64_t last = 0;
  std::optional<uint64_t> total;
};

// Parses the value of a Content-Range header; nullopt unless it is a
// well-formed byte range.
std::optional<ContentRange> ParseContentRange(std::string_view value);

}  // namespace talvoro

#endif  // TALVORO_DOWNLOAD_HTTP_PARSE_H_
