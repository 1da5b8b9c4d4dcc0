// What the process remembers of a publication whose download failed its
// check, so that a host announcing a bad file is not asked for the whole
// file again at every retry.
//
// The download notes each file it finished (NoteDownloaded); when that file
// is refused (a CRC mismatch, or any later refusal of the same bytes), the
// publication is marked as rejected (RejectLastDownloaded). While HEAD
// answers still announce it, the download sends no GET (Refuses), until
// the announcement changes or a recheck interval has passed since the
// rejection. Only the last rejected publication is kept. Memory only: a new
// process starts with none.
#ifndef TALVORO_DOWNLOAD_PUBLICATION_MEMORY_H_
#define TALVORO_DOWNLOAD_PUBLICATION_MEMORY_H_

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace talvoro {

// A file as a HEAD answer announces it. Two announcements of one
// publication are equal in all three.
struct Publication {
  std::string etag;             // empty without an ETag line
  std::optional<uint64_t> crc;  // nullopt without a CRC header
  uint64_t length = 0;          // 0 without a Content-Length line

  bool operator==(const Publication&) const = default;
};

// `publication` in words, for a diagnostic line:
// "ETag \"v1\", CRC 12345, 1048576 bytes" ("CRC absent" without one).
std::string DescribePublication(const Publication& publication);

// Shared by the download tasks (on the engine's thread) and the main
// thread: every call is thread-safe. Callers hold it by shared pointer
// (DownloadOptions::publications).
class PublicationMemory {
 public:
  using Clock = std::chrono::steady_clock;

  // Records `publication` as the file the last download finished (whole on
  // disk, not yet checked).
  void NoteDownloaded(const Publication& publication);

  // Marks the publication of the last NoteDownloaded as rejected at `now`:
  // downloads of it are refused from then on (see Refuses). The download
  // task calls it on a CRC mismatch; the main thread calls it when the
  // hand-off refuses the verified file (a signature that does not hold,
  // say), before it cleans up and restarts as after a CRC mismatch. Does
  // nothing before the first NoteDownloaded. Rejecting again restarts the
  // recheck interval.
  void RejectLastDownloaded(Clock::time_point now = Clock::now());

  // Whether a download of `announced` at `now` must be skipped: true while
  // it equals the rejected publication and less than `recheck_after` has
  // passed since the rejection (then one full download is allowed; if its
  // file fails again, the rejection is renewed). False for any other
  // publication, and when none was rejected.
  bool Refuses(const Publication& announced, Clock::time_point now,
               Clock::duration recheck_after) const;

 private:
  mutable std::mutex mutex_;
  std::optional<Publication> last_downloaded_;
  std::optional<Publication> rejected_;
  Clock::time_point rejected_at_;
};

}  // namespace talvoro

#endif  // TALVORO_DOWNLOAD_PUBLICATION_MEMORY_H_
