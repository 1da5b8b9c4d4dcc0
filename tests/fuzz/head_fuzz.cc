// Fuzz target of ParseHeadResponse. The first input byte picks which call of
// the ETag handler fails (0: none, n: the n-th); the rest is the response.
//
// Properties: an accepted response is valid UTF-8 and begins with
// "HTTP/1.1 200"; the handler is called once per "ETag:" line (the name in
// any case) with a trimmed piece of the response, and its error ends the
// parse unchanged; only an empty response is a network failure; the numbers
// stay untouched without their header line; only a busy server's status
// is one, and only its 429 and 503 carry a Retry-After wait.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "download/http.h"
#include "download/text.h"
#include "fuzz_check.h"

namespace talvoro {
namespace {

constexpr uint64_t kUntouched = 0x5eed5eed5eed5eedull;
constexpr char kHandlerFailure[] = "ETag handler failed";

// The number of lines of `response` that begin with `prefix` (lower case)
// in any case.
size_t CountLines(std::string_view response, std::string_view prefix) {
  std::string folded(response);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  size_t n = 0;
  for (size_t at = folded.find(prefix); at != std::string::npos;
       at = folded.find(prefix, at + 1)) {
    if (at == 0 || folded[at - 1] == '\n') ++n;
  }
  return n;
}

void CheckHead(uint8_t failing_call, std::string_view response) {
  uint64_t content_length = kUntouched;
  std::optional<uint64_t> crc = kUntouched;
  size_t calls = 0;
  bool failed = false;
  const Status status = ParseHeadResponse(
      response, &content_length, &crc, [&](std::string_view etag) -> Status {
        FUZZ_CHECK(!failed);
        ++calls;
        FUZZ_CHECK(TrimWhiteSpace(etag) == etag);
        FUZZ_CHECK(etag.find('\n') == std::string_view::npos);
        FUZZ_CHECK(IsValidUtf8(etag));
        FUZZ_CHECK(response.find(etag) != std::string_view::npos);
        if (calls == failing_call) {
          failed = true;
          return FileError(kHandlerFailure);
        }
        return Status::Ok();
      });

  if (CountLines(response, "content-length:") == 0) {
    FUZZ_CHECK(content_length == kUntouched);
  }
  if (CountLines(response, "x-oss-hash-crc64ecma:") == 0) {
    FUZZ_CHECK(crc == kUntouched);
  }
  if (status.ok()) {
    FUZZ_CHECK(!failed);
    FUZZ_CHECK(IsValidUtf8(response));
    FUZZ_CHECK(response.starts_with("HTTP/1.1 200"));
    FUZZ_CHECK(calls == CountLines(response, "etag:"));
    return;
  }
  const Error& error = status.error();
  if (failed) {
    FUZZ_CHECK(error.kind == ErrorKind::kFile);
    FUZZ_CHECK(error.message == kHandlerFailure);
    FUZZ_CHECK(calls == failing_call);
    return;
  }
  if (!IsValidUtf8(response)) {
    FUZZ_CHECK(error.kind == ErrorKind::kProtocol);
    FUZZ_CHECK(error.message == kInvalidUtf8Message);
    FUZZ_CHECK(calls == 0);
    return;
  }
  FUZZ_CHECK(error.kind ==
             (response.empty() ? ErrorKind::kNetwork : ErrorKind::kProtocol));
  // Only a busy server's status (500, 502, 503, 504, 429 of HTTP/1.x) is
  // one, and only 429 and 503 bring a wait, never a negative one.
  const std::optional<StatusLine> line = ParseStatusLine(response);
  if (error.cause == Cause::kServerBusy) {
    FUZZ_CHECK(line && line->version.starts_with("HTTP/1.") &&
               IsServerBusyStatus(line->code));
  } else {
    FUZZ_CHECK(error.cause == Cause::kUnspecified);
  }
  if (error.retry_after) {
    FUZZ_CHECK(error.cause == Cause::kServerBusy);
    FUZZ_CHECK(line->code == 429 || line->code == 503);
    FUZZ_CHECK(*error.retry_after >= std::chrono::seconds(0));
  }
  if (!response.starts_with("HTTP/1.1 200")) {
    FUZZ_CHECK(error.message == std::string(kHeadFailedPrefix) +
                                    std::string(TrimWhiteSpace(response)));
    FUZZ_CHECK(calls == 0);
  }
}

}  // namespace
}  // namespace talvoro

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The parser announces the numbers it takes on standard output.
  static const bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;
  (void)quiet;
  if (size == 0) return 0;
  talvoro::CheckHead(
      data[0],
      std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
  return 0;
}
