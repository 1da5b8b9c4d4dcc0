#include "download/download.h"

#include <algorithm>
#include <memory>

#include "base/file.h"
#include "download/http.h"
#include "download/text.h"
#include "download/url.h"

namespace talvoro {

namespace {

// Body chunks are gathered into writes of this size.
constexpr size_t kWriteBufferBytes = 256 << 10;

// A failed file operation as the download reports it: the system's text
// followed by its code.
Error WithOsCode(Error error) {
  error.message = FileErrorText(error, {.code = true});
  return error;
}
Status WithOsCode(Status status) {
  if (status.ok()) return status;
  return WithOsCode(status.error());
}

// Appends to a file through one large buffer. The caller reads each chunk
// straight into the space that Reserve() hands out and then commits it;
// full buffers are written with one write each. Whatever is still buffered
// when the writer is destroyed is written then (errors ignored), so the
// bytes received before an error reach the file. `file` must outlive the
// writer.
class BufferedWriter {
 public:
  explicit BufferedWriter(File& file)
      : file_(file), buffer_(new char[kWriteBufferBytes]) {}
  ~BufferedWriter() { (void)Flush(); }

  // Returns room for `size` (at most kWriteBufferBytes) bytes, writing the
  // buffer out first if it has less room left.
  Result<char*> Reserve(size_t size) {
    if (used_ + size > kWriteBufferBytes) {
      Status flushed = Flush();
      if (!flushed.ok()) return flushed.error();
    }
    return buffer_.get() + used_;
  }
  // Keeps `size` bytes written into the space of the last Reserve().
  void Commit(size_t size) { used_ += size; }

  // Writes out and empties the buffer. On error the buffered bytes are
  // dropped.
  Status Flush() {
    Status written = WithOsCode(file_.WriteAll(buffer_.get(), used_));
    used_ = 0;
    return written;
  }

 private:
  File& file_;
  std::unique_ptr<char[]> buffer_;
  size_t used_ = 0;
};

// The stored ETag; empty when the sidecar cannot be opened.
Result<std::string> ReadStoredEtag(const std::string& path, Reporter& report) {
  Result<File> file = File::Open(path, OpenMode::kRead);
  if (!file.ok()) return std::string();
  std::string text;
  char chunk[4096];
  for (;;) {
    Result<size_t> n = file->Read(chunk, sizeof chunk);
    if (!n.ok()) return WithOsCode(std::move(n).error());
    if (*n == 0) break;
    text.append(chunk, *n);
    // No ETag that fits in a HEAD answer is this long: the file is not
    // ours, and it is not read into memory whole.
    if (text.size() > kMaxHeadResponseBytes) {
      return FileError("ETag file larger than " +
                       std::to_string(kMaxHeadResponseBytes) + " bytes");
    }
  }
  if (!IsValidUtf8(text)) return FileError(kInvalidUtf8Message);
  report.Line(Stream::kOut, "ETag: " + text + "\n");
  return text;
}

Status WriteSidecar(const std::string& path, std::string_view etag) {
  Result<File> file = File::Open(path, OpenMode::kTruncate);
  if (!file.ok()) return WithOsCode(std::move(file).error());
  return WithOsCode(file->WriteAll(etag.data(), etag.size()));
}

uint8_t Percent(uint64_t done, uint64_t total) {
  if (total == 0) return 0;
  if (done >= total) return 100;
  return static_cast<uint8_t>(static_cast<unsigned __int128>(done) * 100 /
                              total);
}

// a + b, or the largest value when the sum does not fit.
uint64_t SaturatingAdd(uint64_t a, uint64_t b) {
  return b > UINT64_MAX - a ? UINT64_MAX : a + b;
}

Publication PublicationOf(const HeadInfo& head) {
  return Publication{head.etag.value_or(std::string()), head.remote_crc,
                     head.content_length};
}

// Stops a HEAD answer that announces a refused publication before it is
// acted on; none without a memory of publications.
HeadGate RefusedPublicationGate(const DownloadOptions& options) {
  if (!options.publications) return nullptr;
  return [memory = options.publications,
          recheck = options.recheck_rejected](const HeadInfo& announced) {
    const Publication publication = PublicationOf(announced);
    if (memory->Refuses(publication, PublicationMemory::Clock::now(),
                        recheck)) {
      return Status(Error{ErrorKind::kRejected,
                          kRejectedPrefix + DescribePublication(publication)});
    }
    return Status::Ok();
  };
}

void NoteDownloaded(const DownloadOptions& options, const HeadInfo& head) {
  if (options.publications) {
    options.publications->NoteDownloaded(PublicationOf(head));
  }
}

// The HEAD exchange and the resume decision made as each ETag line comes:
// the stored ETag again allows resuming; any other value empties the target
// and rewrites the sidecar with it.
struct HeadStep {
  HeadInfo head;
  bool resume = false;
};
asio::awaitable<Result<HeadStep>> DecideResume(const ParsedUrl& url,
                                               const std::string& stored,
                                               const std::string& target_path,
                                               const std::string& sidecar_path,
                                               const DownloadOptions& options) {
  Reporter& report = ReporterOr(options.connection.reporter);
  bool resume = false;
  Result<HeadInfo> head = co_await HeadExchange(
      url, options.connection,
      [&](std::string_view etag) -> Status {
        if (!etag.empty() && etag == stored) {
          report.Line(Stream::kOut, "ETag 匹配，继续下载文件\n");
          resume = true;
          return Status::Ok();
        }
        report.Line(Stream::kOut, "ETag 不匹配，重新下载文件\n");
        resume = false;
        // Empty the old file before the sidecar names the new one, so that
        // its bytes can never pass for a prefix of the new file, even if
        // the process ends right after the sidecar is written.
        Status emptied = WithOsCode(TruncateFileIfPresent(target_path));
        if (!emptied.ok()) return emptied;
        Status written = WriteSidecar(sidecar_path, etag);
        if (!written.ok()) return written;
        report.Line(Stream::kOut, "新的 ETag: " + std::string(etag) + "\n");
        return Status::Ok();
      },
      RefusedPublicationGate(options));
  if (!head.ok()) co_return std::move(head).error();
  co_return HeadStep{std::move(head).value(), resume};
}

// Opens the target for appending (resuming) or truncated and prints its
// size, which it returns in `*size`.
Result<File> OpenTarget(const std::string& target_path, bool resume,
                        uint64_t* size, Reporter& report) {
  Result<File> file =
      File::Open(target_path, resume ? OpenMode::kAppend : OpenMode::kTruncate);
  if (!file.ok()) return WithOsCode(std::move(file).error());
  Result<uint64_t> length = file->Size();
  if (!length.ok()) return WithOsCode(std::move(length).error());
  *size = *length;
  report.Line(Stream::kOut,
              "当前文件大小: " + std::to_string(*size) + " 字节\n");
  return file;
}

// What is still to come, and the launcher's copy of the whole file, must
// fit on the volume; otherwise a kNoSpace error, and the bytes on disk stay
// for a later attempt. A free-space query that fails lets the download go
// on.
Status CheckRoom(const std::string& target_path, uint64_t content_length,
                 uint64_t size, const DownloadOptions& options) {
  if (content_length <= size) return Status::Ok();
  const uint64_t needed = SaturatingAdd(content_length - size, content_length);
  const size_t slash = target_path.find_last_of("/\\");
  const std::string folder =
      slash == std::string::npos ? "." : target_path.substr(0, slash + 1);
  Result<uint64_t> free =
      options.free_space ? options.free_space(folder) : FreeSpace(folder);
  if (free.ok() && *free < needed) {
    return Error{ErrorKind::kNoSpace,
                 "not enough free disk space: " + std::to_string(needed) +
                     " bytes needed, " + std::to_string(*free) + " bytes free"};
  }
  return Status::Ok();
}

// Whether a 206 answer's body begins where the file ends (`size`) and
// belongs to a file of the announced length.
bool RangeFits(const GetResponse& response, uint64_t size,
               uint64_t content_length) {
  std::optional<ContentRange> range = response.content_range();
  return range && range->first == size &&
         (!range->total || content_length == 0 ||
          *range->total == content_length);
}

// The If-Range value of a GET from `size`: a file replaced between the HEAD
// and the GET comes back whole (a 200) instead of as a range of the new
// file; only a strong ETag can say so. Empty when there is none to send.
std::string IfRange(uint64_t size, const std::string& stored) {
  return size > 0 && !stored.starts_with("W/") ? stored : std::string();
}

// Checks that the answer to a GET from `*size` continues `file`, the
// target opened as OpenTarget does. A 206 whose range does not fit prints
// the line, empties the file, sets `*size` to 0 and returns true: the GET
// must be sent again from 0 (anything else would be appended in the wrong
// place). A 200 to a ranged request (the server ignored the range and sends
// the whole file) empties the file and sets `*size` to 0; a size above 0
// means the file was opened for appending, so the writes follow the
// truncation.
Result<bool> MustRestart(const GetResponse& response, File& file,
                         uint64_t* size, uint64_t content_length,
                         Reporter& report) {
  if (*size == 0) return false;
  bool restart = false;
  if (response.status_code() == 206) {
    if (RangeFits(response, *size, content_length)) return false;
    report.Line(Stream::kOut, "Content-Range 与请求不符，从头下载文件: " +
                                  (response.content_range_text().empty()
                                       ? std::string("(none)")
                                       : response.content_range_text()) +
                                  "\n");
    restart = true;
  }
  Status emptied = WithOsCode(file.Truncate());
  if (!emptied.ok()) return emptied.error();
  *size = 0;
  return restart;
}

// Appends the body to `file`, which holds `size` bytes, in chunks of at
// most kBodyChunkBytes, each read straight into the writer's buffer, and
// updates `status` once per chunk. With a known length, reading stops at
// the announced end: bytes a server sends beyond it are not part of the
// file, and a body that never ends cannot fill the disk. A body that ends
// short of the length is a kNetwork error; the bytes received stay.
asio::awaitable<Status> CopyBody(GetResponse& response, File& file,
                                 uint64_t size, uint64_t content_length,
                                 DownloadStatus& status, Reporter& report) {
  const uint64_t offset = size;
  const auto start = std::chrono::steady_clock::now();
  // The log's account of the body: where it began, how many bytes came and
  // how long they took.
  auto account = [&](const char* end) {
    const auto taken = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    report.Detail("body: from byte " + std::to_string(offset) + ", " +
                  std::to_string(size - offset) + " bytes in " +
                  std::to_string(taken.count()) + " ms" + end);
  };
  BufferedWriter writer(file);
  for (;;) {
    size_t want = kBodyChunkBytes;
    if (content_length != 0) {
      if (size >= content_length) break;
      want =
          static_cast<size_t>(std::min<uint64_t>(want, content_length - size));
    }
    Result<char*> room = writer.Reserve(want);
    if (!room.ok()) co_return std::move(room).error();
    Result<size_t> n = co_await response.ReadBody(asio::buffer(*room, want));
    if (!n.ok()) {
      account(", then failed");
      co_return std::move(n).error();
    }
    size += *n;
    status.SetProgress(Percent(size, content_length), *n,
                       /*known=*/content_length != 0);
    if (*n == 0) break;
    writer.Commit(*n);
  }
  Status flushed = writer.Flush();
  if (!flushed.ok()) co_return flushed;
  account(content_length != 0 && size < content_length ? ", short" : "");
  if (content_length != 0 && size < content_length) {
    co_return NetworkError(kEarlyEndMessage);
  }
  co_return Status::Ok();
}

}  // namespace

asio::awaitable<Result<std::optional<uint64_t>>> Download(
    std::string url, std::string target_path, std::string sidecar_path,
    DownloadStatusRef status, DownloadOptions options) {
  // The reporter is looked up at each use: a reference kept in the
  // coroutine's frame makes gcc 12 see a mismatched free of the frame
  // (-Wmismatched-new-delete) where there is none.
  Result<std::string> stored =
      ReadStoredEtag(sidecar_path, ReporterOr(options.connection.reporter));
  if (!stored.ok()) co_return std::move(stored).error();
  Result<ParsedUrl> parsed = ParseUrl(url);
  if (!parsed.ok()) co_return std::move(parsed).error();

  Result<HeadStep> decided = co_await DecideResume(
      *parsed, *stored, target_path, sidecar_path, options);
  if (!decided.ok()) co_return std::move(decided).error();
  const HeadInfo& head = decided->head;

  uint64_t size = 0;
  Result<File> file = OpenTarget(target_path, decided->resume, &size,
                                 ReporterOr(options.connection.reporter));
  if (!file.ok()) co_return std::move(file).error();
  if (head.content_length != 0 && head.content_length == size) {
    ReporterOr(options.connection.reporter)
        .Line(Stream::kOut, "文件已下载完成，无需继续下载。\n");
    NoteDownloaded(options, head);
    co_return head.remote_crc;
  }
  Status room = CheckRoom(target_path, head.content_length, size, options);
  if (!room.ok()) co_return room.error();

  ConnectOptions get_options = options.connection;
  get_options.ahead = head.next;
  Result<GetResponse> response =
      co_await GetExchange(head.url, size, IfRange(size, *stored), get_options);
  if (!response.ok()) co_return std::move(response).error();
  ReporterOr(options.connection.reporter)
      .Detail("answer: " + response->status_line());
  Result<bool> restart =
      MustRestart(*response, *file, &size, head.content_length,
                  ReporterOr(options.connection.reporter));
  if (!restart.ok()) co_return std::move(restart).error();
  if (*restart) {
    response = co_await GetExchange(head.url, 0, {}, options.connection);
    if (!response.ok()) co_return std::move(response).error();
    ReporterOr(options.connection.reporter)
        .Detail("answer: " + response->status_line());
  }
  Status copied =
      co_await CopyBody(*response, *file, size, head.content_length, *status,
                        ReporterOr(options.connection.reporter));
  if (!copied.ok()) co_return copied.error();
  ReporterOr(options.connection.reporter).Line(Stream::kOut, "下载完成！\n");
  NoteDownloaded(options, head);
  co_return head.remote_crc;
}

}  // namespace talvoro
