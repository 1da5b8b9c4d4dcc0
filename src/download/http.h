// The two HTTP/1.1 exchanges of the download: HEAD for the size, CRC-64 and
// ETag of the remote file, GET for the file itself (whole or from an
// offset). Each exchange opens its own connection and sends
// "Connection: close"; there are no redirects, no chunked coding and no
// retries.
#ifndef TALVORO_DOWNLOAD_HTTP_H_
#define TALVORO_DOWNLOAD_HTTP_H_

#include <asio.hpp>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
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

inline constexpr char kHeadFailedPrefix[] = "HEAD 请求失败，响应: ";
inline constexpr char kGetFailedPrefix[] = "HTTP 请求失败，响应: ";

// "HEAD <path> HTTP/1.1", Host and "Connection: close", nothing else.
std::string BuildHeadRequest(std::string_view host, std::string_view path);

// "GET <path> HTTP/1.1", Host, "Connection: close" and, only for an
// `offset` above 0, "Range: bytes=<offset>-".
std::string BuildGetRequest(std::string_view host, std::string_view path,
                            uint64_t offset);

// Called with each ETag value of a HEAD response (trimmed, quotes kept) as
// soon as its line is reached. An error ends the parse with that error.
using EtagHandler = std::function<Status(std::string_view etag)>;

// Examines a whole HEAD response. Checks, in order: valid UTF-8
// ("stream did not contain valid UTF-8"), the status ("HEAD 请求失败，响应: "
// + the trimmed response unless it begins with "HTTP/1.1 200"), then every
// line against the case-sensitive prefixes "Content-Length:",
// "x-oss-hash-crc64ecma:" and "ETag:". The numbers are stored into
// `*content_length` and `*remote_crc` (and announced on standard output) as
// they are met; a repeated header is handled again, the last value wins.
// Errors are kProtocol (or kNetwork for an empty response, a connection
// closed before any answer), or whatever `on_etag` returned.
Status ParseHeadResponse(std::string_view response, uint64_t* content_length,
                         uint64_t* remote_crc, const EtagHandler& on_etag);

// Sends the HEAD request for `url` on a fresh connection, reads the answer
// to the end of the stream (at most kMaxHeadResponseBytes, else a kProtocol
// error "HEAD response larger than 65536 bytes") and parses it with
// ParseHeadResponse. `content_length` and `remote_crc` must stay valid until
// the returned awaitable completes.
asio::awaitable<Status> HeadExchange(ParsedUrl url, uint64_t* content_length,
                                     uint64_t* remote_crc, EtagHandler on_etag);

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
  int status_code() const { return status_code_; }

  // Reads the next piece of the body into `data`: at most
  // min(data.size(), kBodyChunkBytes) bytes, bytes that arrived with the
  // head first. Returns 0 at the end of the stream. Errors as for the
  // source's ReadSome (for the connection: SecureStream::ReadSome).
  asio::awaitable<Result<size_t>> ReadBody(asio::mutable_buffer data);

 private:
  friend asio::awaitable<Result<GetResponse>> ReadGetResponseHead(
      std::unique_ptr<ByteSource>);
  friend asio::awaitable<Result<GetResponse>> GetExchange(ParsedUrl, uint64_t);
  explicit GetResponse(std::unique_ptr<ByteSource> source);

  // Reads one line up to and including "\n" into `line` (cleared first);
  // at the end of the stream `line` holds what was left, possibly nothing.
  // A line over kMaxHeaderLineBytes is a kProtocol error.
  asio::awaitable<Status> ReadLine(std::string* line);
  asio::awaitable<Status> Fill();
  // Reads and checks the status line and skips the header lines, as
  // described at ReadGetResponseHead.
  asio::awaitable<Status> ReadHead();

  std::unique_ptr<ByteSource> source_;
  std::vector<char> buffer_;
  size_t begin_ = 0;
  size_t end_ = 0;
  int status_code_ = 0;
};

// Reads the head of a GET answer from `source`: checks the status line
// ("HTTP/1.1 200" or "HTTP/1.1 206"; anything else is a kProtocol error
// "stream did not contain valid UTF-8" if the line is not valid UTF-8, else
// "HTTP 请求失败，响应: " + the trimmed status line; a stream that ends
// inside the status line is the same text as a kNetwork error) and skips the
// header lines, unexamined, up to the empty line "\r\n" or the end of the
// stream. A line over kMaxHeaderLineBytes, line break included, is a
// kProtocol error "GET response header line longer than 16384 bytes". The
// bytes read past the head are the first ones ReadBody hands out. Errors of
// the source are returned unchanged.
asio::awaitable<Result<GetResponse>> ReadGetResponseHead(
    std::unique_ptr<ByteSource> source);

// Sends the GET request for `url` (with a Range from `offset` if it is above
// 0) on a fresh connection and reads the head of the answer as
// ReadGetResponseHead does, from the connection. Connection errors are
// kNetwork.
asio::awaitable<Result<GetResponse>> GetExchange(ParsedUrl url,
                                                 uint64_t offset);

}  // namespace talvoro

#endif  // TALVORO_DOWNLOAD_HTTP_H_
