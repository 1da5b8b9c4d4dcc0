#include "main/app.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <memory>
#include <thread>
#include <utility>

#include "download/download.h"
#include "download/executor.h"
#include "download/integrity.h"
#include "main/handoff.h"

namespace talvoro {

void PollStep(DownloadStatus& status, const PollActions& actions) {
  const DownloadStatus::Snapshot now = status.Read();
  switch (now.phase) {
    case kDownloading:
      actions.set_bar(std::min<int>(now.percent, 100));
      break;
    case kDownloaded:
      actions.set_bar(100);
      status.SetPhase(kHandOff);
      break;
    case kChecksumFailed:
      actions.clean_up();
      actions.set_bar(0);
      status.Restart(/*keep_percent=*/false);
      actions.start_download();
      break;
    case kDownloadFailed:
      actions.clean_up();
      actions.pause(kRetryPause);
      actions.set_bar(0);
      status.Restart(/*keep_percent=*/false);
      actions.start_download();
      break;
    case kDownloadInterrupted:
      // The partial file stays; the bar stays where it is and the next
      // attempt resumes from the bytes on disk.
      actions.pause(kRetryPause);
      status.Restart(/*keep_percent=*/true);
      actions.start_download();
      break;
    case kHandOff:
      actions.hand_off();
      break;
  }
}

namespace {

asio::awaitable<void> DownloadTask(std::string url, std::string folder,
                                   DownloadStatusRef status) {
  const std::string target = folder + "/" + kTargetFileName;
  const std::string sidecar = folder + "/" + kEtagFileName;
  uint64_t remote_crc = 0;
  Status result = co_await Download(url, target, sidecar, &remote_crc, status);
  if (!result) {
    const Error& error = result.error();
    std::cerr << "下载失败: " << error.message << "\n" << std::flush;
    status->SetPhase(error.kind == ErrorKind::kNetwork ? kDownloadInterrupted
                                                       : kDownloadFailed);
    co_return;
  }
  CheckIntegrity(target, remote_crc, *status);
}

}  // namespace

void StartDownloadTask(const std::string& url, const std::string& folder,
                       DownloadStatusRef status) {
  SpawnDetached(DownloadTask(url, folder, std::move(status)));
}

void ExitProcess(int code) {
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  _exit(code);
}

}  // namespace talvoro
