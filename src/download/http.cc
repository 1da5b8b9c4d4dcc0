#include "download/http.h"

#include <algorithm>
#include <cstring>

#include "download/connection.h"
#include "download/parse_int.h"
#include "download/text.h"

namespace talvoro {

namespace {

// The buffered reader of a GET response reads this much at a time.
constexpr size_t kReadBufferBytes = 32 * 1024;

constexpr std::string_view kContentLengthPrefix = "Content-Length:";
constexpr std::string_view kCrcPrefix = "x-oss-hash-crc64ecma:";
constexpr std::string_view kEtagPrefix = "ETag:";

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         text.compare(0, prefix.size(), prefix) == 0;
}

// `complete` tells whether the answer reached its end (the status line's
// line break, the HEAD header block's empty line).
Error StatusFailure(std::string_view prefix, std::string_view response,
                    bool complete = true) {
  std::string message(prefix);
  message.append(TrimWhiteSpace(response));
  // Nothing at all came back, or the answer was cut short: the connection
  // failed, not the server's answer.
  if (response.empty() || !complete) return NetworkError(std::move(message));
  return ProtocolError(std::move(message));
}

// Whether a HEAD answer contains the empty line that ends its headers.
bool HeaderBlockEnded(std::string_view response) {
  return response.find("\n\r\n") != std::string_view::npos ||
         response.find("\n\n") != std::string_view::npos;
}

Result<uint64_t> ParseHeaderNumber(std::string_view line, size_t prefix) {
  return ParseUnsigned(TrimWhiteSpace(line.substr(prefix)), UINT64_MAX,
                       ErrorKind::kProtocol);
}

// The connection of a GET exchange as the source of its answer.
class StreamSource : public ByteSource {
 public:
  explicit StreamSource(SecureStream stream) : stream_(std::move(stream)) {}

  asio::awaitable<Result<size_t>> ReadSome(asio::mutable_buffer data) override {
    return stream_.ReadSome(data);
  }

 private:
  SecureStream stream_;
};

}  // namespace

std::string BuildHeadRequest(std::string_view host, std::string_view path) {
  std::string request = "HEAD ";
  request.append(path).append(" HTTP/1.1\r\nHost: ");
  request.append(host).append("\r\nConnection: close\r\n\r\n");
  return request;
}

std::string BuildGetRequest(std::string_view host, std::string_view path,
                            uint64_t offset) {
  std::string request = "GET ";
  request.append(path).append(" HTTP/1.1\r\nHost: ");
  request.append(host).append("\r\nConnection: close\r\n");
  if (offset > 0) {
    request.append("Range: bytes=").append(std::to_string(offset));
    request.append("-\r\n");
  }
  request.append("\r\n");
  return request;
}

Status ParseHeadResponse(std::string_view response, uint64_t* content_length,
                         uint64_t* remote_crc, const EtagHandler& on_etag) {
  if (!IsValidUtf8(response)) return ProtocolError(kInvalidUtf8Message);
  if (!StartsWith(response, "HTTP/1.1 200")) {
    return StatusFailure(kHeadFailedPrefix, response);
  }
  std::string_view rest = response;
  while (!rest.empty()) {
    const size_t newline = rest.find('\n');
    std::string_view line = rest.substr(0, newline);
    rest = newline == std::string_view::npos ? std::string_view()
                                             : rest.substr(newline + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

    if (StartsWith(line, kContentLengthPrefix)) {
      Result<uint64_t> value =
          ParseHeaderNumber(line, kContentLengthPrefix.size());
      if (!value.ok()) return std::move(value).error();
      *content_length = *value;
      PrintOut("响应头中的 Content-Length: " + std::to_string(*value) +
               " 字节\n");
    } else if (StartsWith(line, kCrcPrefix)) {
      Result<uint64_t> value = ParseHeaderNumber(line, kCrcPrefix.size());
      if (!value.ok()) return std::move(value).error();
      *remote_crc = *value;
      PrintOut("CRC64 : " + std::to_string(*value) + "\n");
    } else if (StartsWith(line, kEtagPrefix)) {
      Status handled = on_etag(TrimWhiteSpace(line.substr(kEtagPrefix.size())));
      if (!handled.ok()) return handled;
    }
  }
  return Status::Ok();
}

asio::awaitable<Status> HeadExchange(ParsedUrl url, uint64_t* content_length,
                                     uint64_t* remote_crc,
                                     EtagHandler on_etag) {
  Result<SecureStream> stream = co_await OpenSecureStream(url);
  if (!stream.ok()) co_return std::move(stream).error();
  const std::string request = BuildHeadRequest(url.host, url.path);
  Status sent = co_await stream->WriteAll(asio::buffer(request));
  if (!sent.ok()) co_return sent;

  std::string response;
  char chunk[8192];
  for (;;) {
    Result<size_t> n = co_await stream->ReadSome(asio::buffer(chunk));
    if (!n.ok()) co_return std::move(n).error();
    if (*n == 0) break;
    if (response.size() + *n > kMaxHeadResponseBytes) {
      co_return ProtocolError("HEAD response larger than " +
                              std::to_string(kMaxHeadResponseBytes) + " bytes");
    }
    response.append(chunk, *n);
  }
  stream->Close();
  // An answer cut before the end of its headers is not acted on: a cut
  // ETag would never match and would throw away the partial download. One
  // co_return for both outcomes: with two, gcc 12 sees a mismatched delete
  // of the coroutine frame (-Wmismatched-new-delete) where there is none.
  Status parsed =
      HeaderBlockEnded(response)
          ? ParseHeadResponse(response, content_length, remote_crc, on_etag)
          : Status(StatusFailure(kHeadFailedPrefix, response,
                                 /*complete=*/false));
  co_return parsed;
}

GetResponse::GetResponse(std::unique_ptr<ByteSource> source)
    : source_(std::move(source)), buffer_(kReadBufferBytes) {}

asio::awaitable<Status> GetResponse::Fill() {
  begin_ = end_ = 0;
  Result<size_t> n = co_await source_->ReadSome(asio::buffer(buffer_));
  if (!n.ok()) co_return std::move(n).error();
  end_ = *n;
  co_return Status::Ok();
}

asio::awaitable<Status> GetResponse::ReadLine(std::string* line) {
  line->clear();
  for (;;) {
    const char* begin = buffer_.data() + begin_;
    const char* end = buffer_.data() + end_;
    const char* newline = std::find(begin, end, '\n');
    const char* stop = newline == end ? end : newline + 1;
    line->append(begin, stop);
    begin_ += stop - begin;
    if (line->size() > kMaxHeaderLineBytes) {
      co_return ProtocolError("GET response header line longer than " +
                              std::to_string(kMaxHeaderLineBytes) + " bytes");
    }
    if (newline != end) co_return Status::Ok();
    Status filled = co_await Fill();
    if (!filled.ok()) co_return filled;
    if (end_ == 0) co_return Status::Ok();
  }
}

asio::awaitable<Result<size_t>> GetResponse::ReadBody(
    asio::mutable_buffer data) {
  if (begin_ == end_) {
    Status filled = co_await Fill();
    if (!filled.ok()) co_return filled.error();
    if (end_ == 0) co_return size_t{0};
  }
  const size_t n = std::min({data.size(), kBodyChunkBytes, end_ - begin_});
  std::memcpy(data.data(), buffer_.data() + begin_, n);
  begin_ += n;
  co_return n;
}

asio::awaitable<Status> GetResponse::ReadHead() {
  std::string line;
  Status read = co_await ReadLine(&line);
  if (!read.ok()) co_return read;
  if (line.empty() || line.back() != '\n') {
    // The stream ended inside the status line.
    co_return StatusFailure(kGetFailedPrefix, line, /*complete=*/false);
  }
  if (StartsWith(line, "HTTP/1.1 200")) {
    status_code_ = 200;
  } else if (StartsWith(line, "HTTP/1.1 206")) {
    status_code_ = 206;
  } else {
    if (!IsValidUtf8(line)) co_return ProtocolError(kInvalidUtf8Message);
    co_return StatusFailure(kGetFailedPrefix, line);
  }
  // The header lines are not examined; they end at an empty line or with
  // the stream.
  for (;;) {
    read = co_await ReadLine(&line);
    if (!read.ok()) co_return read;
    if (line == "\r\n" || line.empty()) co_return Status::Ok();
  }
}

asio::awaitable<Result<GetResponse>> ReadGetResponseHead(
    std::unique_ptr<ByteSource> source) {
  GetResponse response(std::move(source));
  Status head = co_await response.ReadHead();
  if (!head.ok()) co_return head.error();
  co_return std::move(response);
}

asio::awaitable<Result<GetResponse>> GetExchange(ParsedUrl url,
                                                 uint64_t offset) {
  Result<SecureStream> stream = co_await OpenSecureStream(url);
  if (!stream.ok()) co_return std::move(stream).error();
  const std::string request = BuildGetRequest(url.host, url.path, offset);
  Status sent = co_await stream->WriteAll(asio::buffer(request));
  if (!sent.ok()) co_return sent.error();
  // The same reading as ReadGetResponseHead; awaiting that coroutine here
  // instead makes gcc 12 see a free of the coroutine frame
  // (-Wfree-nonheap-object) where there is none.
  GetResponse response(std::make_unique<StreamSource>(std::move(*stream)));
  Status head = co_await response.ReadHead();
  if (!head.ok()) co_return head.error();
  co_return std::move(response);
}

}  // namespace talvoro
