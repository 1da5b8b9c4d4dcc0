#include "download/publication_memory.h"

namespace talvoro {

std::string DescribePublication(const Publication& publication) {
  return "ETag " + (publication.etag.empty() ? "(none)" : publication.etag) +
         ", CRC " +
         (publication.crc ? std::to_string(*publication.crc) : "absent") +
         ", " + std::to_string(publication.length) + " bytes";
}

void PublicationMemory::NoteDownloaded(const Publication& publication) {
  std::lock_guard<std::mutex> lock(mutex_);
  last_downloaded_ = publication;
}

void PublicationMemory::NoteCheckFailed(Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!last_downloaded_) return;
  if (failed_once_ == last_downloaded_ || rejected_ == last_downloaded_) {
    RejectLocked(now);
  } else {
    failed_once_ = last_downloaded_;
  }
}

void PublicationMemory::RejectLastDownloaded(Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (last_downloaded_) RejectLocked(now);
}

void PublicationMemory::RejectLocked(Clock::time_point now) {
  rejected_ = last_downloaded_;
  rejected_at_ = now;
}

bool PublicationMemory::Refuses(const Publication& announced,
                                Clock::time_point now,
                                Clock::duration recheck_after) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rejected_ && *rejected_ == announced &&
         now - rejected_at_ < recheck_after;
}

}  // namespace talvoro
