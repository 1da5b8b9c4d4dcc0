#include "download/integrity.h"

#include <string>

#include "base/console.h"
#include "download/crc64.h"

namespace talvoro {

bool CheckIntegrity(const std::string& target_path, uint64_t remote_crc,
                    DownloadStatus& status) {
  Result<uint64_t> local = Crc64OfFile(target_path);
  // A file that cannot be read fails the check like a wrong one.
  if (local.ok() && local.value() == remote_crc) {
    PrintOut(kIntegrityOkLine);
    status.SetPhase(kDownloaded);
    return true;
  }
  PrintErr(std::string(kIntegrityFailedPrefix) + std::to_string(remote_crc) +
           "\n");
  status.SetPhase(kChecksumFailed);
  return false;
}

}  // namespace talvoro
