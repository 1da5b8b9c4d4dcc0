// The resumable download of the launcher.
//
// A partial target file left by an earlier run is continued with a range
// request as long as the server still reports the ETag recorded in the
// sidecar file beside it; otherwise the target starts over from 0.
#ifndef TALVORO_DOWNLOAD_DOWNLOAD_H_
#define TALVORO_DOWNLOAD_DOWNLOAD_H_

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/error.h"
#include "download/connection.h"
#include "download/download_status.h"
#include "download/publication_memory.h"

namespace talvoro {

inline constexpr char kEarlyEndMessage[] =
    "connection closed before the whole file arrived";

// The free bytes of the volume holding a folder (base/file.h's FreeSpace).
using FreeSpaceQuery = std::function<Result<uint64_t>(const std::string&)>;

// How the download is made. The program uses the defaults; tests shorten
// the times or stand in for the system's answers.
struct DownloadOptions {
  ConnectOptions connection;
  // Empty: the system's answer (FreeSpace).
  FreeSpaceQuery free_space = nullptr;
  // The publications refused so far, shared by the downloads of a process;
  // null: none is remembered, every attempt downloads.
  std::shared_ptr<PublicationMemory> publications = nullptr;
  // A refused publication still announced is downloaded anyway once this
  // long has passed since it was refused (the fault may have been the
  // local disk's).
  std::chrono::steady_clock::duration recheck_rejected =
      std::chrono::minutes(10);
};

// The text of the kRejected error, after which the description of the
// publication follows.
inline constexpr char kRejectedPrefix[] =
    "the server still announces the file that was refused: ";

// Downloads `url` into `target_path`, keeping the server's ETag in
// `sidecar_path`, and returns the CRC-64 the server announced (nullopt when
// it announced none):
//  - reads the stored ETag from the sidecar (a missing sidecar means none;
//    "ETag: <value>" is printed otherwise);
//  - sends HEAD (following redirects); takes the content length and the
//    announced CRC-64; for each ETag line a non-empty value equal to the
//    stored one allows resuming, any other value rewrites the sidecar with
//    it (before any byte of the new file is written);
//  - opens the target for appending (resuming) or truncated, prints its
//    size and, if it already has the announced length, ends without a GET;
//  - sends GET to the address that answered the HEAD, with the current size
//    as the range start (and the stored ETag in If-Range when it is a
//    strong one), and appends the body, updating `status` (phase 0 and the
//    percentage of the announced length, counting earlier runs' bytes,
//    capped at 100, left at 0 when no length was announced) once per chunk
//    of at most 8192 bytes and once more at the end of the body. A 200
//    answer to a ranged request restarts the target from 0; so does a 206
//    whose Content-Range does not begin at the asked offset or names
//    another total length (with a new GET from 0, after printing
//    "Content-Range 与请求不符，从头下载文件: " and the header's value).
// When the HEAD answer announces a publication that `options.publications`
// refuses (same ETag, CRC and length, within `options.recheck_rejected` of
// the refusal), nothing of the answer is acted on: no sidecar or target is
// touched, no GET is sent, and a kRejected error comes back, kRejectedPrefix
// followed by DescribePublication. A download that ends with the whole file
// notes its publication there (NoteDownloaded).
// Before the GET, the volume must have room for what is still to come plus
// a copy of the whole file (the launcher's); otherwise no GET is sent and a
// kNoSpace error "not enough free disk space: N bytes needed, M bytes free"
// comes back (N saturates at 2^64 - 1 for a length that cannot fit). A
// write that fails for lack of space is kNoSpace too.
// Progress notes go to standard output through options.connection.reporter
// (null: the standard streams), with the requests, their answers and each
// body's offset, bytes and time as details; nothing goes to standard error (the
// caller prints the error).
//
// Errors: kInput for an unusable `url`; kNetwork for connection failures,
// time-outs and a body that ends before the announced length
// ("connection closed before the whole file arrived"); kProtocol for
// unusable answers; kFile for the local files; kRejected as above. The
// bytes written before an error stay in the target file.
//
// Runs on the engine's executor (see executor.h).
asio::awaitable<Result<std::optional<uint64_t>>> Download(
    std::string url, std::string target_path, std::string sidecar_path,
    DownloadStatusRef status, DownloadOptions options = {});

}  // namespace talvoro

#endif  // TALVORO_DOWNLOAD_DOWNLOAD_H_
