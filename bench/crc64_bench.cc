// crc64_bench [--mib N]... [--runs R]
//
// Throughput of every CRC-64 path this CPU supports and of liblzma's
// lzma_crc64 over in-memory buffers (1 GiB and 64 MiB by default). Prints,
// for each buffer size, the median GB/s of R runs (at least 3) of each path
// and its ratio to liblzma; a path whose result differs from liblzma's is
// flagged and makes the exit code 1. The buffer is filled and touched
// before timing, so no page fault is timed.
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

struct Contender {
  std::string name;
  std::function<uint64_t()> body;
  std::vector<double> seconds;
  uint64_t result = 0;
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
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

    // The contenders take turns in every round, so that a busy moment of
    // the machine hits all of them alike.
    std::vector<Contender> contenders;
    contenders.push_back(
        {"liblzma", [=] { return lzma_crc64(data, size, 0); }, {}, 0});
    for (talvoro::Crc64Path path : talvoro::kAllCrc64Paths) {
      if (!talvoro::Crc64PathSupported(path)) continue;
      contenders.push_back(
          {talvoro::Crc64PathName(path),
           [=] { return talvoro::Crc64With(path, 0, data, size); },
           {},
           0});
    }
    contenders.push_back({"dispatch",
                          [=] { return talvoro::Crc64Update(0, data, size); },
                          {},
                          0});
    for (int round = 0; round < runs; ++round) {
      for (Contender& c : contenders) {
        auto start = std::chrono::steady_clock::now();
        c.result = c.body();
        auto end = std::chrono::steady_clock::now();
        c.seconds.push_back(std::chrono::duration<double>(end - start).count());
      }
    }

    const double gb = static_cast<double>(size) / 1e9;
    const double lzma = Median(contenders[0].seconds);
    const uint64_t reference = contenders[0].result;
    std::printf("%zu MiB buffer, median of %d runs\n", mib, runs);
    int status = 0;
    for (const Contender& c : contenders) {
      const double t = Median(c.seconds);
      std::printf("  %-16s %8.2f GB/s", c.name.c_str(), gb / t);
      if (&c != &contenders[0]) {
        std::printf("  ratio %.2f vs liblzma", lzma / t);
      }
      if (c.name == "dispatch") {
        std::printf(" (%s)", talvoro::Crc64PathName(talvoro::Crc64BestPath()));
      }
      if (c.result != reference) {
        std::printf("  WRONG RESULT");
        status = 1;
      }
      std::printf("\n");
    }
    if (status != 0) return status;
  }
  return 0;
}
