// The integrity check that ends every download: the whole downloaded file
// against the CRC-64 the server announced.
#ifndef TALVORO_DOWNLOAD_INTEGRITY_H_
#define TALVORO_DOWNLOAD_INTEGRITY_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "base/report.h"
#include "download/download_status.h"

namespace talvoro {

// The line printed on standard output when the file is verified.
inline constexpr char kIntegrityOkLine[] = "下载成功\n";
// Printed on standard error, followed by the remote CRC in decimal (or
// kAbsentCrcText when the server announced none) and a line feed, when it
// is not.
inline constexpr char kIntegrityFailedPrefix[] =
    "下载文件CRC检查失败: 远端CRC : ";
inline constexpr char kAbsentCrcText[] = "absent";

// Computes the CRC-64/XZ of the file at `target_path` and compares it with
// `remote_crc` (nullopt when the server sent none).
//
// Verified only when the server announced a CRC, the file holds at least
// one byte and its CRC equals the announced one: reports "下载成功" on
// standard output, sets the phase to kDownloaded and returns true.
// Otherwise (no announced CRC, an empty file whatever was announced, a
// different CRC, a file that cannot be opened or read): reports the
// failure line on standard error, calls `on_mismatch` (if given), sets the
// phase to kChecksumFailed and returns false; nothing else is reported and
// nothing is deleted. The line has been reported and `on_mismatch` has
// returned before the phase is set, so whoever sees the phase has seen
// both. The lines go to `reporter` (null: the standard streams), with the
// local CRC as a detail.
//
// Synchronous: it reads the file in blocks of kCrc64FileBlockSize on the
// calling thread (the download task's executor thread), so its memory does
// not grow with the file.
bool CheckIntegrity(const std::string& target_path,
                    std::optional<uint64_t> remote_crc, DownloadStatus& status,
                    const std::function<void()>& on_mismatch = nullptr,
                    Reporter* reporter = nullptr);

}  // namespace talvoro

#endif  // TALVORO_DOWNLOAD_INTEGRITY_H_
