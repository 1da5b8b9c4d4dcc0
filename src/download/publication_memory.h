// What the process remembers of a publication whose download failed its
// check, so that a host announcing a bad file is not asked for the whole
// file again at every retry.
//
// The download notes each file it finished (NoteDownloaded). A file that
// fails its CRC check is remembered (NoteCheckFailed); when the same
// publication fails a second time in a row, it is refused: a byte damaged
// on the way fails once, a wrong publication every time. A refusal of the
// file for another reason (RejectLastDownloaded) takes effect at once.
// While HEAD answers still announce a refused publication, the download
// sends no GET (Refuses), until the announcement changes or a recheck
// interval has passed since the refusal. Only the last refused publication
// is kept. Memory only: a new process starts with none.
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

  // The file of the last NoteDownloaded failed its CRC check at `now`. The
  // first failure of a publication is only remembered; a second one in a
  // row (no other publication failed in between) refuses it as
  // RejectLastDownloaded does. The download task calls it. Does nothing
  // before the first NoteDownloaded.
  void NoteCheckFailed(Clock::time_point now = Clock::now());

  // Refuses the publication of the last NoteDownloaded at `now`: downloads
  // of it are skipped from then on (see Refuses). For the main thread when
  // the hand-off refuses the verified file (a signature that does not
  // hold, say); call it before cleaning up and restarting as after a CRC
  // mismatch (DownloadStatus phase kChecksumFailed), so that the next
  // attempt already sees it. Does nothing before the first NoteDownloaded.
  // Refusing again restarts the recheck interval.
  void RejectLastDownloaded(Clock::time_point now = Clock::now());

  // Whether a download of `announced` at `now` must be skipped: true while
  // it equals the rejected publication and less than `recheck_after` has
  // passed since the refusal (then full downloads are allowed again; the
  // next failure of its file renews the refusal). False for any other
  // publication, and when none was refused.
  bool Refuses(const Publication& announced, Clock::time_point now,
               Clock::duration recheck_after) const;

 private:
  void RejectLocked(Clock::time_point now);

  mutable std::mutex mutex_;
  std::optional<Publication> last_downloaded_;
  std::optional<Publication> failed_once_;
  std::optional<Publication> rejected_;
  Clock::time_point rejected_at_;
};

}  // namespace talvoro

#endif  // TALVORO_DOWNLOAD_PUBLICATION_MEMORY_H_
