// download_bench URL FOLDER [--verify]
//
// Runs the engine's download operation once, on the engine's executor, the
// way the program's download task does: URL into FOLDER/TalvoroLauncher.bin
// with its ETag sidecar beside it, and with --verify the integrity check
// right after it on the same thread. The engine's progress notes go to
// standard output as in the program. Prints the elapsed time of the
// operation on standard error ("download_bench: <seconds> s"). Exit code 0
// on success (with --verify: a verified file), 1 otherwise.
//
// The scripts time the whole process, like the peers' processes; the
// printed figure shows how much of it is the operation itself.
#include <asio.hpp>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <memory>
#include <optional>
#include <string>

#include "download/download.h"
#include "download/download_status.h"
#include "download/executor.h"
#include "download/integrity.h"
#include "main/working_files.h"

namespace {

asio::awaitable<bool> DownloadOnce(std::string url, std::string folder,
                                   bool verify,
                                   talvoro::DownloadStatusRef status) {
  const std::string target = folder + "/" + talvoro::kTargetFileName;
  const std::string sidecar = folder + "/" + talvoro::kEtagFileName;
  talvoro::Result<std::optional<uint64_t>> remote_crc =
      co_await talvoro::Download(url, target, sidecar, status);
  if (!remote_crc.ok()) {
    std::fprintf(stderr, "download_bench: %s\n",
                 remote_crc.error().message.c_str());
    co_return false;
  }
  if (!verify) co_return true;
  co_return talvoro::CheckIntegrity(target, *remote_crc, *status);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4 ||
      (argc == 4 && std::strcmp(argv[3], "--verify") != 0)) {
    std::fprintf(stderr, "usage: download_bench URL FOLDER [--verify]\n");
    return 2;
  }
  const bool verify = argc == 4;
  auto status = std::make_shared<talvoro::DownloadStatus>();
  const auto start = std::chrono::steady_clock::now();
  std::future<bool> done = asio::co_spawn(
      talvoro::EngineExecutor(), DownloadOnce(argv[1], argv[2], verify, status),
      asio::use_future);
  const bool ok = done.get();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();
  std::fflush(stdout);
  std::fprintf(stderr, "download_bench: %.3f s\n", seconds);
  return ok ? 0 : 1;
}
