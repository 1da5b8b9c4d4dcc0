// Fuzz target of ParseUrl. The input is the address text.
//
// Properties: an error is a kInput error with one of the documented texts;
// an accepted address has a path beginning with "/", a host without "/" or
// ":", came from a text with "//" exactly once, and parses to the same parts
// when written back as "https://host:port/path".
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "download/parse_int.h"
#include "download/url.h"
#include "fuzz_check.h"

namespace talvoro {
namespace {

void CheckUrl(std::string_view text) {
  Result<ParsedUrl> url = ParseUrl(text);
  if (!url.ok()) {
    const Error& error = url.error();
    FUZZ_CHECK(error.kind == ErrorKind::kInput);
    FUZZ_CHECK(error.message == kInvalidUrlMessage ||
               error.message == kEmptyIntegerMessage ||
               error.message == kInvalidDigitMessage ||
               error.message == kIntegerTooLargeMessage);
    return;
  }
  FUZZ_CHECK(text.find("//") != std::string_view::npos);
  FUZZ_CHECK(!url->path.empty() && url->path.front() == '/');
  FUZZ_CHECK(url->host.find_first_of("/:") == std::string::npos);
  FUZZ_CHECK(text.find(url->host) != std::string_view::npos);
  FUZZ_CHECK(text.size() >= url->path.size());
  if (url->path.size() > 1) {
    FUZZ_CHECK(text.ends_with(url->path));
  }

  const std::string again_text =
      "https://" + url->host + ":" + std::to_string(url->port) + url->path;
  Result<ParsedUrl> again = ParseUrl(again_text);
  FUZZ_CHECK(again.ok());
  FUZZ_CHECK(again->host == url->host);
  FUZZ_CHECK(again->port == url->port);
  FUZZ_CHECK(again->path == url->path);
}

}  // namespace
}  // namespace talvoro

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  talvoro::CheckUrl(
      std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
