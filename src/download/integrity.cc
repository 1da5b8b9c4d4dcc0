#include "download/integrity.h"

#include <cstdio>
#include <string>

#include "download/crc64.h"

namespace talvoro {

namespace {

// Writes `line` with one call, so that it is not interleaved with other
// threads' lines, and flushes it.
void WriteLine(std::FILE* stream, const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fflush(stream);
}

}  // namespace

bool CheckIntegrity(const std::string& target_path, uint64_t remote_crc,
                    DownloadStatus& status) {
  Result<uint64_t> local = Crc64OfFile(target_path);
  // A file that cannot be read fails the check like a wrong one.
  if (local.ok() && local.value() == remote_crc) {
    WriteLine(stdout, kIntegrityOkLine);
    status.SetPhase(kDownloaded);
    return true;
  }
  WriteLine(stderr, std::string(kIntegrityFailedPrefix) +
                        std::to_string(remote_crc) + "\n");
  status.SetPhase(kChecksumFailed);
  return false;
}

}  // namespace talvoro
