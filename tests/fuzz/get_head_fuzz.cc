// Fuzz target of the GET answer reader (ReadGetResponseHead and
// GetResponse::ReadBody) over an answer in memory.
//
// Input: byte 0 holds in its low 3 bits the count n of piece-size bytes that
// follow and in its top bit whether the stream ends with a network error
// instead of a clean end; each piece-size byte v is a read of v + 1 bytes
// below 0x80, else of (v - 0x7f) * 512 bytes (up to about 64 KiB); the next
// byte b is the size of each body read (b + 1 below 0x80, else 20000); the
// rest is the answer, status line first.
//
// Properties: the outcome is the one that a reading of the whole answer at
// once gives (below), whatever the piece sizes: an accepted head is 200 or
// 206 and its body is exactly the bytes after the empty line; a line over
// kMaxHeaderLineBytes is always refused; errors keep their texts; body
// pieces respect the caller's buffer and kBodyChunkBytes.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "download/http.h"
#include "download/text.h"
#include "fuzz_check.h"
#include "memory_source.h"

namespace talvoro {
namespace {

using testing::MemorySource;
using testing::RunHere;

constexpr char kResetMessage[] = "connection reset by peer";
constexpr size_t kMaxBodyRead = 20000;

// What the reader must give for an answer.
struct Outcome {
  std::optional<Error> head_error;
  int status_code = 0;
  std::string body;
  std::optional<Error> body_error;  // the body's end, if not a clean one
  // A chunked body: its decoding is checked for bounds, not byte for byte.
  bool chunked = false;
};

// The value of a "Transfer-Encoding" header line (its name in any case), or
// nullopt for another line.
std::optional<std::string_view> TransferCodings(std::string_view line) {
  constexpr std::string_view kName = "transfer-encoding:";
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
    line.remove_suffix(1);
  }
  if (line.size() < kName.size()) return std::nullopt;
  for (size_t i = 0; i < kName.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(line[i])) != kName[i]) {
      return std::nullopt;
    }
  }
  return TrimWhiteSpace(line.substr(kName.size()));
}

bool SameError(const std::optional<Error>& a, const std::optional<Error>& b) {
  if (a.has_value() != b.has_value()) return false;
  return !a || (a->kind == b->kind && a->message == b->message);
}

// The outcome worked out from the whole answer, line by line.
Outcome Expect(std::string_view answer, const std::optional<Error>& end) {
  Outcome want;
  want.body_error = end;
  size_t at = 0;
  for (bool status_line = true;; status_line = false) {
    const size_t newline = answer.find('\n', at);
    const bool complete = newline != std::string_view::npos;
    const std::string_view line =
        answer.substr(at, complete ? newline + 1 - at : std::string_view::npos);
    if (line.size() > kMaxHeaderLineBytes) {
      want.head_error =
          ProtocolError("GET response header line longer than 16384 bytes");
      return want;
    }
    if (!complete) {
      // The stream ends in this line (or right before it).
      if (end) {
        want.head_error = end;
      } else if (status_line) {
        want.head_error = NetworkError(std::string(kGetFailedPrefix) +
                                       std::string(TrimWhiteSpace(line)));
      }
      return want;
    }
    at = newline + 1;
    if (status_line) {
      // The code is three digits followed by a blank, a line end or the end.
      const bool code_ends = line.size() <= 12 || line[12] == ' ' ||
                             line[12] == '\r' || line[12] == '\n';
      if (code_ends && line.starts_with("HTTP/1.1 200")) {
        want.status_code = 200;
      } else if (code_ends && line.starts_with("HTTP/1.1 206")) {
        want.status_code = 206;
      } else if (!IsValidUtf8(line)) {
        want.head_error = ProtocolError(kInvalidUtf8Message);
        return want;
      } else {
        want.head_error = ProtocolError(std::string(kGetFailedPrefix) +
                                        std::string(TrimWhiteSpace(line)));
        return want;
      }
    } else if (line == "\r\n") {
      want.body = std::string(answer.substr(at));
      return want;
    } else if (std::optional<std::string_view> codings =
                   TransferCodings(line)) {
      std::string lower(*codings);
      for (char& c : lower) c = static_cast<char>(std::tolower(c));
      if (lower != "chunked") {
        want.head_error = ProtocolError("unsupported transfer coding: " +
                                        std::string(*codings));
        return want;
      }
      want.chunked = true;
    }
  }
}

// The outcome the reader gives, reading the body `body_read` bytes at a time.
asio::awaitable<Outcome> Read(std::unique_ptr<ByteSource> source,
                              size_t body_read) {
  Outcome got;
  Result<GetResponse> response =
      co_await ReadGetResponseHead(std::move(source));
  if (!response.ok()) {
    got.head_error = std::move(response).error();
    co_return got;
  }
  got.status_code = response->status_code();
  std::vector<char> buffer(body_read);
  // Every read but the last hands out at least one byte.
  for (;;) {
    Result<size_t> n = co_await response->ReadBody(asio::buffer(buffer));
    if (!n.ok()) {
      got.body_error = std::move(n).error();
      break;
    }
    if (*n == 0) break;
    FUZZ_CHECK(*n <= std::min(body_read, kBodyChunkBytes));
    got.body.append(buffer.data(), *n);
  }
  co_return got;
}

void CheckGetHead(const uint8_t* data, size_t size) {
  if (size < 2) return;
  const bool reset = data[0] & 0x80;
  const size_t piece_bytes = data[0] & 0x07;
  if (size < 2 + piece_bytes) return;
  std::vector<size_t> pieces;
  for (size_t i = 1; i <= piece_bytes; ++i) {
    const uint8_t v = data[i];
    pieces.push_back(v < 0x80 ? v + 1u : (v - 0x7fu) * 512u);
  }
  const uint8_t b = data[1 + piece_bytes];
  const size_t body_read = b < 0x80 ? b + 1u : kMaxBodyRead;
  const std::string_view answer(
      reinterpret_cast<const char*>(data) + 2 + piece_bytes,
      size - 2 - piece_bytes);
  std::optional<Error> end;
  if (reset) end = NetworkError(kResetMessage);

  const Outcome want = Expect(answer, end);
  const Outcome got =
      RunHere(Read(std::make_unique<MemorySource>(std::string(answer),
                                                  std::move(pieces), end),
                   body_read));

  FUZZ_CHECK(SameError(got.head_error, want.head_error));
  if (got.head_error) return;
  FUZZ_CHECK(got.status_code == 200 || got.status_code == 206);
  FUZZ_CHECK(got.status_code == want.status_code);
  if (want.chunked) {
    // The decoded bytes are fewer than the coded ones; a body that ends
    // cleanly was read to its last chunk.
    FUZZ_CHECK(got.body.empty() || got.body.size() < want.body.size());
    return;
  }
  FUZZ_CHECK(got.body == want.body);
  FUZZ_CHECK(SameError(got.body_error, want.body_error));
}

}  // namespace
}  // namespace talvoro

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  talvoro::CheckGetHead(data, size);
  return 0;
}
