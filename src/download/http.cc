#include "download/http.h"

#include <algorithm>
#include <cstring>

#include "download/connection.h"
#include "download/connection_ahead.h"
#include "download/http_parse.h"
#include "download/text.h"
#include "download/user_agent.h"

namespace talvoro {

namespace {

// The buffered reader of a GET response reads this much at a time.
constexpr size_t kReadBufferBytes = 32 * 1024;

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
  request.append(host).append("\r\n").append(UserAgentLine());
  request.append("Connection: close\r\n\r\n");
  return request;
}

std::string BuildGetRequest(std::string_view host, std::string_view path,
                            uint64_t offset, std::string_view if_range) {
  std::string request = "GET ";
  request.append(path).append(" HTTP/1.1\r\nHost: ");
  request.append(host).append("\r\n").append(UserAgentLine());
  request.append("Connection: close\r\n");
  if (offset > 0) {
    request.append("Range: bytes=").append(std::to_string(offset));
    request.append("-\r\n");
    if (!if_range.empty()) {
      request.append("If-Range: ").append(if_range).append("\r\n");
    }
  }
  request.append("\r\n");
  return request;
}

Status ApplyHeadAnswer(const HeadAnswer& answer, uint64_t* content_length,
                       std::optional<uint64_t>* remote_crc,
                       const EtagHandler& on_etag, Reporter* reporter) {
  Reporter& report = ReporterOr(reporter);
  for (const HeadField& field : answer.fields) {
    switch (field.kind) {
      case HeadField::kContentLength:
        *content_length = field.number;
        report.Line(Stream::kOut, "响应头中的 Content-Length: " +
                                      std::to_string(field.number) + " 字节\n");
        break;
      case HeadField::kCrc:
        *remote_crc = field.number;
        report.Line(Stream::kOut,
                    "CRC64 : " + std::to_string(field.number) + "\n");
        break;
      case HeadField::kEtag:
        if (Status handled = on_etag(field.text); !handled.ok()) {
          return handled;
        }
        break;
    }
  }
  if (answer.error) return *answer.error;
  return Status::Ok();
}

Status ParseHeadResponse(std::string_view response, uint64_t* content_length,
                         std::optional<uint64_t>* remote_crc,
                         const EtagHandler& on_etag, Reporter* reporter) {
  Result<HeadAnswer> answer = ReadHeadAnswer(response);
  if (!answer.ok()) return std::move(answer).error();
  return ApplyHeadAnswer(*answer, content_length, remote_crc, on_etag,
                         reporter);
}

namespace {

// The GET's connection is made together with the HEAD's to `url` (or was
// opened ahead for that address: `*next`, or with options.ahead); dropping
// it (a redirect, an error) closes it unused.
void OpenNextAhead(const ParsedUrl& url, const ConnectOptions& options,
                   std::shared_ptr<ConnectionAhead>* next) {
  if (*next && !(*next)->OpenedFor(url)) next->reset();
  if (!*next && options.ahead) *next = options.ahead->TakeNext(url);
  if (!*next && options.open_next_ahead) {
    *next = ConnectionAhead::Open(url, options);
  }
}

// A request as the log shows it: the method, the address without its query
// (which may carry a token) and what else the request asks for.
std::string DescribeRequest(std::string_view method, const ParsedUrl& url,
                            std::string_view extra = {}) {
  std::string path = url.path.substr(0, url.path.find('?'));
  std::string text = "request: " + std::string(method) + " https://" +
                     url.host + ":" + std::to_string(url.port) + path;
  if (!extra.empty()) text.append(" ").append(extra);
  return text;
}

// Logs a GET of `url` from `offset`. Out of the coroutine: gcc 12 sees a
// mismatched free of its frame (-Wmismatched-new-delete) when the
// temporaries are made in it.
void ReportGetRequest(Reporter* reporter, const ParsedUrl& url,
                      uint64_t offset) {
  ReporterOr(reporter).Detail(DescribeRequest(
      "GET", url,
      offset > 0 ? "from byte " + std::to_string(offset) : std::string()));
}

// The first line of `response`, without its line break.
std::string_view FirstLine(std::string_view response) {
  std::string_view line = response.substr(0, response.find('\n'));
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// One HEAD request on a fresh connection; the whole answer (bounded).
asio::awaitable<Result<std::string>> FetchHeadAnswer(
    const ParsedUrl& url, const ConnectOptions& options,
    std::shared_ptr<ConnectionAhead>* next) {
  OpenNextAhead(url, options, next);
  Result<SecureStream> stream = co_await OpenSecureStream(url, options);
  if (!stream.ok()) co_return std::move(stream).error();
  const std::string request = BuildHeadRequest(HostHeaderValue(url), url.path);
  ReporterOr(options.reporter).Detail(DescribeRequest("HEAD", url));
  Status sent = co_await stream->WriteAll(asio::buffer(request));
  if (!sent.ok()) co_return sent.error();

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
  ReporterOr(options.reporter)
      .Detail("answer: " + std::string(FirstLine(response)).substr(0, 200));
  // An answer cut before the end of its headers is not acted on: a cut
  // ETag would never match and would throw away the partial download.
  if (!HeaderBlockEnded(response)) {
    co_return StatusFailure(kHeadFailedPrefix, response, /*complete=*/false);
  }
  co_return response;
}

// The final answer of a HEAD exchange: its values through `gate`, then acted
// on, into `info`.
Result<HeadInfo> ActOnFinalAnswer(std::string_view response, HeadInfo info,
                                  const EtagHandler& on_etag,
                                  const HeadGate& gate, Reporter* reporter) {
  Result<HeadAnswer> answer = ReadHeadAnswer(response);
  if (!answer.ok()) return std::move(answer).error();
  if (answer->etag) info.etag = std::string(*answer->etag);
  if (gate && !answer->error) {
    HeadInfo announced = info;
    announced.content_length = answer->content_length;
    announced.remote_crc = answer->crc;
    if (Status admitted = gate(announced); !admitted.ok()) {
      return admitted.error();
    }
  }
  Status applied = ApplyHeadAnswer(*answer, &info.content_length,
                                   &info.remote_crc, on_etag, reporter);
  if (!applied.ok()) return applied.error();
  return info;
}

}  // namespace

asio::awaitable<Result<HeadInfo>> HeadExchange(ParsedUrl url,
                                               ConnectOptions options,
                                               EtagHandler on_etag,
                                               HeadGate gate) {
  HeadInfo info;
  info.url = std::move(url);
  for (int redirects = 0;; ++redirects) {
    Result<std::string> response =
        co_await FetchHeadAnswer(info.url, options, &info.next);
    if (!response.ok()) co_return std::move(response).error();
    Result<std::optional<std::string>> location = RedirectLocation(*response);
    if (!location.ok()) co_return std::move(location).error();
    if (!*location) {
      co_return ActOnFinalAnswer(*response, info, on_etag, gate,
                                 options.reporter);
    }
    if (redirects == kMaxRedirects) {
      co_return ProtocolError("too many redirects (more than " +
                              std::to_string(kMaxRedirects) + ")");
    }
    Result<ParsedUrl> next = ResolveRedirect(info.url, **location);
    if (!next.ok()) co_return std::move(next).error();
    info.url = std::move(next).value();
    ReporterOr(options.reporter)
        .Line(
            Stream::kOut,
            std::string(kRedirectLinePrefix) +
                WithoutUserInfo("https://" + info.url.host + ":" +
                                std::to_string(info.url.port) + info.url.path) +
                "\n");
  }
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

asio::awaitable<Result<size_t>> GetResponse::ReadBuffered(
    asio::mutable_buffer data, uint64_t limit) {
  if (begin_ == end_) {
    Status filled = co_await Fill();
    if (!filled.ok()) co_return filled.error();
    if (end_ == 0) co_return size_t{0};
  }
  const size_t n = static_cast<size_t>(
      std::min<uint64_t>({data.size(), kBodyChunkBytes, end_ - begin_, limit}));
  std::memcpy(data.data(), buffer_.data() + begin_, n);
  begin_ += n;
  co_return n;
}

asio::awaitable<Result<size_t>> GetResponse::ReadBody(
    asio::mutable_buffer data) {
  if (head_.chunked) co_return co_await ReadChunked(data);
  co_return co_await ReadBuffered(data, UINT64_MAX);
}

asio::awaitable<Result<size_t>> GetResponse::ReadChunked(
    asio::mutable_buffer data) {
  const Error cut = NetworkError("connection closed inside a chunked body");
  std::string line;
  for (;;) {
    switch (chunk_state_) {
      case ChunkState::kSize: {
        Status read = co_await ReadLine(&line);
        if (!read.ok()) co_return read.error();
        if (line.empty() || line.back() != '\n') co_return cut;
        std::optional<uint64_t> size = ParseChunkSize(line);
        if (!size) {
          co_return ProtocolError(
              "malformed chunked body: chunk size \"" +
              std::string(TrimWhiteSpace(line)).substr(0, 64) + "\"");
        }
        chunk_left_ = *size;
        chunk_state_ = *size == 0 ? ChunkState::kTrailers : ChunkState::kData;
        break;
      }
      case ChunkState::kData: {
        if (data.size() == 0) co_return size_t{0};
        Result<size_t> n = co_await ReadBuffered(data, chunk_left_);
        if (!n.ok()) co_return n;
        if (*n == 0) co_return cut;
        chunk_left_ -= *n;
        if (chunk_left_ == 0) chunk_state_ = ChunkState::kDataEnd;
        co_return n;
      }
      case ChunkState::kDataEnd: {
        Status read = co_await ReadLine(&line);
        if (!read.ok()) co_return read.error();
        if (line.empty()) co_return cut;
        if (line != "\r\n" && line != "\n") {
          co_return ProtocolError(
              "malformed chunked body: no line break after a chunk");
        }
        chunk_state_ = ChunkState::kSize;
        break;
      }
      case ChunkState::kTrailers: {
        // Trailer fields are skipped, up to the empty line (or the end of
        // the stream, which ends the body just as well).
        Status read = co_await ReadLine(&line);
        if (!read.ok()) co_return read.error();
        if (line.empty() || line == "\r\n" || line == "\n") {
          chunk_state_ = ChunkState::kDone;
        }
        break;
      }
      case ChunkState::kDone:
        co_return size_t{0};
    }
  }
}

asio::awaitable<std::optional<std::chrono::seconds>>
GetResponse::ReadRetryAfter(std::string_view status_line) {
  std::string head(status_line);
  std::string line;
  while (head.size() < kMaxHeadResponseBytes) {
    // A failed read or an overlong line ends the search: the status is
    // the error either way.
    if (!(co_await ReadLine(&line)).ok()) break;
    if (line == "\r\n" || line == "\n" || line.empty()) break;
    head += line;
  }
  co_return RetryAfterOf(head, std::chrono::system_clock::now());
}

asio::awaitable<Status> GetResponse::ReadHead() {
  std::string line;
  Status read = co_await ReadLine(&line);
  if (!read.ok()) co_return read;
  if (line.empty() || line.back() != '\n') {
    // The stream ended inside the status line.
    co_return StatusFailure(kGetFailedPrefix, line, /*complete=*/false);
  }
  status_line_ = std::string(FirstLine(line)).substr(0, 200);
  Result<int> code = ParseGetStatus(line);
  if (!code.ok()) {
    Error error = std::move(code).error();
    const std::optional<StatusLine> status = ParseStatusLine(line);
    if (error.cause == Cause::kServerBusy &&
        (status->code == 429 || status->code == 503)) {
      error.retry_after = co_await ReadRetryAfter(line);
    }
    co_return error;
  }
  head_.status_code = *code;
  // The header lines end at an empty line or with the stream.
  for (;;) {
    read = co_await ReadLine(&line);
    if (!read.ok()) co_return read;
    if (line == "\r\n" || line.empty()) co_return Status::Ok();
    Status taken = TakeGetHeader(line, &head_);
    if (!taken.ok()) co_return taken;
  }
}

asio::awaitable<Result<GetResponse>> ReadGetResponseHead(
    std::unique_ptr<ByteSource> source) {
  GetResponse response(std::move(source));
  Status head = co_await response.ReadHead();
  if (!head.ok()) co_return head.error();
  co_return std::move(response);
}

asio::awaitable<Result<GetResponse>> GetExchange(ParsedUrl url, uint64_t offset,
                                                 std::string if_range,
                                                 ConnectOptions options) {
  Result<SecureStream> stream = co_await OpenSecureStream(url, options);
  if (!stream.ok()) co_return std::move(stream).error();
  const std::string request =
      BuildGetRequest(HostHeaderValue(url), url.path, offset, if_range);
  ReportGetRequest(options.reporter, url, offset);
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
