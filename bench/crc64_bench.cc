// crc64_bench [--mib N]... [--runs R]
//
// Throughput of every CRC-64 path this CPU supports and of liblzma's
// lzma_crc64 over in-memory buffers (1 GiB and 64 MiB by default). Prints,
// for each buffer size, the median GB/s of R runs (at least 3) of each path
// and its ratio to liblzma. The buffer is filled and touched before timing,
// so no page fault is timed.
#include <lzma.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "download/crc64.h"

namespace {

double MedianSeconds(int runs, const std::function<uint64_t()>& body,
                     uint64_t* result) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    auto start = std::chrono::steady_clock::now();
    *result = body();
    auto end = std::chrono::steady_clock::now();
    times.push_back(std::chrono::duration<double>(end - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<size_t> sizes_mib;
  int runs = 5;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--mib") == 0 && i + 1 < argc) {
      sizes_mib.push_back(std::strtoull(argv[++i], nullptr, 10));
    } else if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
      runs = std::max(3, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: crc64_bench [--mib N]... [--runs R]\n");
      return 2;
    }
  }
  if (sizes_mib.empty()) sizes_mib = {1024, 64};

  for (size_t mib : sizes_mib) {
    const size_t size = mib << 20;
    auto buffer = std::make_unique_for_overwrite<unsigned char[]>(size);
    uint64_t x = 0x9E3779B97F4A7C15ULL;
    for (size_t i = 0; i + 8 <= size; i += 8) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      std::memcpy(buffer.get() + i, &x, 8);
    }
    const unsigned char* data = buffer.get();

    uint64_t reference = 0;
    double lzma = MedianSeconds(
        runs, [&] { return lzma_crc64(data, size, 0); }, &reference);
    const double gb = static_cast<double>(size) / 1e9;
    std::printf("%zu MiB buffer, median of %d runs\n", mib, runs);
    std::printf("  %-16s %8.2f GB/s\n", "liblzma", gb / lzma);
    int status = 0;
    for (talvoro::Crc64Path path : talvoro::kAllCrc64Paths) {
      if (!talvoro::Crc64PathSupported(path)) continue;
      uint64_t crc = 0;
      double t = MedianSeconds(
          runs, [&] { return talvoro::Crc64With(path, 0, data, size); }, &crc);
      std::printf("  %-16s %8.2f GB/s  ratio %.2f vs liblzma%s\n",
                  talvoro::Crc64PathName(path), gb / t, lzma / t,
                  crc == reference ? "" : "  WRONG RESULT");
      if (crc != reference) status = 1;
    }
    uint64_t crc = 0;
    double t = MedianSeconds(
        runs, [&] { return talvoro::Crc64Update(0, data, size); }, &crc);
    std::printf("  %-16s %8.2f GB/s  ratio %.2f vs liblzma (%s)\n", "dispatch",
                gb / t, lzma / t,
                talvoro::Crc64PathName(talvoro::Crc64BestPath()));
    if (crc != reference) status = 1;
    if (status != 0) return status;
  }
  return 0;
}
