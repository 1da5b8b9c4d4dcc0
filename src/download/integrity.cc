#include "download/integrity.h"

#include <string>

#include "download/crc64.h"

namespace talvoro {

bool CheckIntegrity(const std::string& target_path,
                    std::optional<uint64_t> remote_crc, DownloadStatus& status,
                    const std::function<void()>& on_mismatch,
                    Reporter* reporter) {
  Reporter& report = ReporterOr(reporter);
  uint64_t size = 0;
  Result<uint64_t> local = Crc64OfFile(target_path, &size);
  // A file that cannot be read fails the check like a wrong one. An empty
  // file is never the launcher, and without an announced value there is
  // nothing to verify against (an empty file's CRC is 0, the value a
  // missing header would otherwise stand for).
  if (local.ok() && size > 0 && remote_crc && local.value() == *remote_crc) {
    report.Detail("check: CRC-64 " + std::to_string(*local) + " of " +
                  std::to_string(size) + " bytes matches");
    report.Line(Stream::kOut, kIntegrityOkLine);
    status.SetPhase(Phase::kDownloaded);
    return true;
  }
  report.Detail(local.ok() ? "check: CRC-64 " + std::to_string(*local) +
                                 " of " + std::to_string(size) + " bytes"
                           : "check: " + local.error().message + " (" +
                                 std::to_string(local.error().os_error) + ")");
  report.Line(Stream::kErr,
              std::string(kIntegrityFailedPrefix) +
                  (remote_crc ? std::to_string(*remote_crc) : kAbsentCrcText) +
                  "\n");
  if (on_mismatch) on_mismatch();
  status.SetPhase(Phase::kChecksumFailed);
  return false;
}

}  // namespace talvoro
