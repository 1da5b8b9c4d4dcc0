// The integrity check that ends every download: the whole downloaded file
// against the CRC-64 the server announced.
#ifndef TALVORO_DOWNLOAD_INTEGRITY_H_
#define TALVORO_DOWNLOAD_INTEGRITY_H_

#include <cstdint>
#include <string>

#include "download/download_status.h"

namespace talvoro {

// The line printed on standard output when the file is verified.
inline constexpr char kIntegrityOkLine[] = "下载成功\n";
// Printed on standard error, followed by the remote CRC in decimal and a
// line feed, when it is not.
inline constexpr char kIntegrityFailedPrefix[] =
    "下载文件CRC检查失败: 远端CRC : ";

// Computes the CRC-64/XZ of the file at `target_path` and compares it with
// `remote_crc` (0 when the server sent none).
//
// Equal: prints "下载成功" on standard output, sets `status.phase` to
// kDownloaded and returns true. Different, or the file cannot be opened or
// read: prints the failure line with `remote_crc` on standard error, sets
// `status.phase` to kChecksumFailed and returns false; nothing else is
// printed and nothing is deleted. The line is flushed before the phase is
// set, so whoever sees the phase has seen the line.
//
// Synchronous: it reads the file in blocks of kCrc64FileBlockSize on the
// calling thread (the download task's executor thread), so its memory does
// not grow with the file.
bool CheckIntegrity(const std::string& target_path, uint64_t remote_crc,
                    DownloadStatus& status);

}  // namespace talvoro

#endif  // TALVORO_DOWNLOAD_INTEGRITY_H_
