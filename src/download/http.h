// The two HTTP/1.1 exchanges of the download: HEAD for the size, CRC-64 and
// ETag of the remote file (following redirects), GET for the file itself
// (whole or from an offset, the chunked coding decoded). Each exchange
// opens its own connection and sends "Connection: close"; nothing is
// retried here. The answers are parsed by the pure parsers of http_parse.h.
#ifndef TALVORO_DOWNLOAD_HTTP_H_
#define TALVORO_DOWNLOAD_HTTP_H_

#include <asio.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "download/connection.h"
#include "download/http_parse.h"
#include "download/tls.h"
#include "download/url.h"

namespace talvoro {

// A HEAD response may hold at most this many bytes.
inline constexpr size_t kMaxHeadResponseBytes = 64 * 1024;
// A line of the GET response head may hold at most this many bytes, line
// break included.
inline constexpr size_t kMaxHeaderLineBytes = 16 * 1024;
// The body is handed out in chunks of at most this many bytes.
inline constexpr size_t kBodyChunkBytes = 8192;

// At most this many redirects are followed from the download address.
inline constexpr int kMaxRedirects = 5;

inline constexpr char kRedirectLinePrefix[] = "重定向到: ";

// "HEAD <path> HTTP/1.1", "Host: <host>" (HostHeaderValue of the address:
// the port too when it is not 443), the User-Agent (user_agent.h) and
// "Connection: close", nothing else.
std::string BuildHeadRequest(std::string_view host, std::string_view path);

// "GET <path> HTTP/1.1", "Host: <host>", the User-Agent, "Connection:
// close" and, only for an `offset` above 0, "Range: bytes=<offset>-"
// followed by "If-Range: <if_range>" when `if_range` is not empty.
std::string BuildGetRequest(std::string_view host, std::string_view path,
                            uint64_t offset, std::string_view if_range = {});

// Called with each ETag value of a HEAD response (trimmed, quotes kept) as
// soon as its line is reached. An error ends the parse with that error.
using EtagHandler = std::function<Status(std::string_view etag)>;

// Acts on `answer`'s fields in their order: the numbers are stored into
// `*content_length` and `*remote_crc` and reported on standard output
// ("响应头中的 Content-Length: N 字节", "CRC64 : N"; to `reporter`, null:
// the standard streams), each ETag is handed to
// `on_etag`. A repeated header is handled again, the last value wins. Ends
// with whatever `on_etag` returned if it failed, else with the answer's
// `error`.
Status ApplyHeadAnswer(const HeadAnswer& answer, uint64_t* content_length,
                       std::optional<uint64_t>* remote_crc,
                       const EtagHandler& on_etag,
                       Reporter* reporter = nullptr);

// ReadHeadAnswer, then ApplyHeadAnswer. `*remote_crc` stays as it was
// without an "x-oss-hash-crc64ecma" line.
Status ParseHeadResponse(std::string_view response, uint64_t* content_length,
                         std::optional<uint64_t>* remote_crc,
                         const EtagHandler& on_etag,
                         Reporter* reporter = nullptr);

// What the HEAD exchange learnt: the announced length (0 without a
// "Content-Length:" line), CRC-64 (nullopt without "x-oss-hash-crc64ecma:")
// and ETag (the last one; nullopt without an "ETag:" line), and the address
// that answered, after redirects.
struct HeadInfo {
  uint64_t content_length = 0;
  std::optional<uint64_t> remote_crc;
  std::optional<std::string> etag;
  ParsedUrl url;
  // The connection for a GET to `url`, opened together with the final
  // HEAD's when options.open_next_ahead asks for it (or the one opened with
  // options.ahead, see ConnectionAhead::TakeNext); null otherwise.
  std::shared_ptr<ConnectionAhead> next = nullptr;
};

// Looks at what the final HEAD answer announces before anything of it is
// acted on; an error ends the exchange with it.
using HeadGate = std::function<Status(const HeadInfo& announced)>;

// Sends the HEAD request for `url` on a fresh connection (or the one
// options.ahead opened; the GET's is opened with it, see HeadInfo::next),
// reads the answer
// to the end of the stream (at most kMaxHeadResponseBytes, else a kProtocol
// error "HEAD response larger than 65536 bytes") and parses it with
// ParseHeadResponse. The request and the answer's status line are details
// for options.reporter. A redirect is followed (reporting "重定向到: " and the
// new address) with a new HEAD on a new connection, up to kMaxRedirects
// times, to https addresses only; only the final answer is parsed. When
// that answer reads without error, `gate` (if given) sees its values first:
// its error ends the exchange before a line is announced or an ETag handed
// out. Errors as for ParseHeadResponse, `gate` and OpenSecureStream, and
// kProtocol for too many redirects or a Location that is not an https
// address.
asio::awaitable<Result<HeadInfo>> HeadExchange(ParsedUrl url,
                                               ConnectOptions options,
                                               EtagHandler on_etag,
                                               HeadGate gate = nullptr);

// The bytes of an answer, read in pieces: the connection in the program,
// memory in tests.
class ByteSource {
 public:
  virtual ~ByteSource() = default;

  // Reads at least one and at most data.size() bytes into `data`, or
  // returns 0 at the end of the stream (and again on every later call).
  virtual asio::awaitable<Result<size_t>> ReadSome(
      asio::mutable_buffer data) = 0;
};

// The answer to a GET request, positioned at the start of the body.
class GetResponse {
 public:
  GetResponse(GetResponse&&) noexcept = default;
  GetResponse& operator=(GetResponse&&) noexcept = default;

  // 200 or 206.
  int status_code() const { return head_.status_code; }
  // The status line, without its line break (at most 200 bytes).
  const std::string& status_line() const { return status_line_; }

  // The trimmed value of the answer's "Content-Range" header (empty when
  // there is none), and the range it names if it is a well-formed one.
  const std::string& content_range_text() const { return head_.content_range; }
  std::optional<ContentRange> content_range() const {
    return ParseContentRange(head_.content_range);
  }

  // Reads the next piece of the body into `data`: at most
  // min(data.size(), kBodyChunkBytes) bytes, bytes that arrived with the
  // head first, decoded when the body is chunked. Returns 0 at the end of
  // the body. Errors as for the source's ReadSome (for the connection:
  // SecureStream::ReadSome); for a chunked body also kProtocol
  // "malformed chunked body: ..." and kNetwork when the stream ends before
  // the last chunk.
  asio::awaitable<Result<size_t>> ReadBody(asio::mutable_buffer data);

 private:
  friend asio::awaitable<Result<GetResponse>> ReadGetResponseHead(
      std::unique_ptr<ByteSource>);
  friend asio::awaitable<Result<GetResponse>> GetExchange(ParsedUrl, uint64_t,
                                                          std::string,
                                                          ConnectOptions);
  explicit GetResponse(std::unique_ptr<ByteSource> source);

  // Reads one line up to and including "\n" into `line` (cleared first);
  // at the end of the stream `line` holds what was left, possibly nothing.
  // A line over kMaxHeaderLineBytes is a kProtocol error.
  asio::awaitable<Status> ReadLine(std::string* line);
  asio::awaitable<Status> Fill();
  // Reads and checks the status line and reads the header lines, as
  // described at ReadGetResponseHead.
  asio::awaitable<Status> ReadHead();
  // After the failed status line `status_line` (a 429 or 503): reads the
  // header lines up to the empty line (or kMaxHeadResponseBytes, the end of
  // the stream or an error) and returns their Retry-After (RetryAfterOf).
  asio::awaitable<std::optional<std::chrono::seconds>> ReadRetryAfter(
      std::string_view status_line);
  // ReadBody for a chunked body.
  asio::awaitable<Result<size_t>> ReadChunked(asio::mutable_buffer data);
  // Copies at most `limit` buffered (or newly read) bytes into `data`; 0 at
  // the end of the stream.
  asio::awaitable<Result<size_t>> ReadBuffered(asio::mutable_buffer data,
                                               uint64_t limit);

  enum class ChunkState { kSize, kData, kDataEnd, kTrailers, kDone };

  std::unique_ptr<ByteSource> source_;
  std::vector<char> buffer_;
  size_t begin_ = 0;
  size_t end_ = 0;
  GetHead head_;
  ChunkState chunk_state_ = ChunkState::kSize;
  // The answer's status line, without its line break (at most 200 bytes).
  std::string status_line_;
  uint64_t chunk_left_ = 0;
};

// Reads the head of a GET answer from `source`: checks the status line
// ("HTTP/1.1 200" or "HTTP/1.1 206"; anything else is a kProtocol error
// "stream did not contain valid UTF-8" if the line is not valid UTF-8, else
// "HTTP 请求失败，响应: " + the trimmed status line, with the cause and
// Retry-After of a busy server as StatusFailure gives them, the header
// lines read for it up to kMaxHeadResponseBytes; a stream that ends
// inside the status line is the same text as a kNetwork error) and reads the
// header lines up to the empty line "\r\n" or the end of the stream. Of
// the headers (names in any case) only "Transfer-Encoding" (a kProtocol
// error for a coding other than chunked) and "Content-Range" are used. A line
// over kMaxHeaderLineBytes, line break included, is a kProtocol error "GET
// response header line longer than 16384 bytes". The bytes read past the head
// are the first ones ReadBody hands out. Errors of the source are returned
// unchanged.
asio::awaitable<Result<GetResponse>> ReadGetResponseHead(
    std::unique_ptr<ByteSource> source);

// Sends the GET request for `url` (with a Range from `offset` if it is above
// 0, and `if_range` as for BuildGetRequest) on a fresh connection and reads
// the head of the answer as ReadGetResponseHead does, from the connection.
// The request is a detail for options.reporter.
// Connection errors are kNetwork.
asio::awaitable<Result<GetResponse>> GetExchange(ParsedUrl url, uint64_t offset,
                                                 std::string if_range = {},
                                                 ConnectOptions options = {});

}  // namespace talvoro

#endif  // TALVORO_DOWNLOAD_HTTP_H_
