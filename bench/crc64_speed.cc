// crc64_speed [--mib N] [--runs R] [--path NAME]...
//
// Throughput of the program's CRC-64 (Crc64Update, the path it picks on
// this CPU) over one in-memory buffer of N MiB (default 1024), without
// liblzma, so that the same source builds for Linux and, with MinGW-w64, for
// Windows and the two can be timed on the same machine. The buffer holds the
// same pseudo-random bytes in every build (the filling of crc64_bench), and
// is filled and touched before timing, so no page fault is timed. Each
// --path NAME (table, slice8, clmul, vpclmul) adds that path, if the CPU has
// it. The contenders take turns in each of R rounds (at least 3).
//
// Prints one line per contender:
//   <name> <path> <median GB/s> GB/s crc <hex>
// where <path> is the path that ran (for "dispatch", the one Crc64Update
// picked) and <hex> the CRC of the buffer, which must be the same in every
// build and for every path. Exit code 1 when two contenders disagree, 2 on a
// usage error or an unknown or unsupported path.
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/console.h"
#include "download/crc64.h"

namespace {

struct Contender {
  std::string name;
  talvoro::Crc64Path path;
  bool dispatch;
  std::vector<double> seconds;
  uint64_t result = 0;
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// The path named `name`, or false when there is none of that name.
bool PathByName(const char* name, talvoro::Crc64Path* path) {
  for (talvoro::Crc64Path p : talvoro::kAllCrc64Paths) {
    if (std::strcmp(talvoro::Crc64PathName(p), name) == 0) {
      *path = p;
      return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  talvoro::UseBinaryStandardStreams();
  size_t mib = 1024;
  int runs = 5;
  std::vector<Contender> contenders;
  contenders.push_back(
      {"dispatch", talvoro::Crc64BestPath(), /*dispatch=*/true, {}, 0});
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--mib") == 0 && i + 1 < argc) {
      mib = std::strtoull(argv[++i], nullptr, 10);
    } else if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
      runs = std::max(3, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--path") == 0 && i + 1 < argc) {
      talvoro::Crc64Path path;
      const char* name = argv[++i];
      if (!PathByName(name, &path)) {
        std::fprintf(stderr, "crc64_speed: no path named %s\n", name);
        return 2;
      }
      if (!talvoro::Crc64PathSupported(path)) {
        std::fprintf(stderr, "crc64_speed: this CPU has no %s path\n", name);
        return 2;
      }
      contenders.push_back({name, path, /*dispatch=*/false, {}, 0});
    } else {
      std::fprintf(
          stderr, "usage: crc64_speed [--mib N] [--runs R] [--path NAME]...\n");
      return 2;
    }
  }
  if (mib == 0) {
    std::fprintf(stderr, "crc64_speed: the buffer needs at least 1 MiB\n");
    return 2;
  }

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

  for (int round = 0; round < runs; ++round) {
    for (Contender& c : contenders) {
      const auto start = std::chrono::steady_clock::now();
      c.result = c.dispatch ? talvoro::Crc64Update(0, data, size)
                            : talvoro::Crc64With(c.path, 0, data, size);
      const auto end = std::chrono::steady_clock::now();
      c.seconds.push_back(std::chrono::duration<double>(end - start).count());
    }
  }

  const double gb = static_cast<double>(size) / 1e9;
  int status = 0;
  for (const Contender& c : contenders) {
    std::printf("%s %s %.2f GB/s crc %016" PRIx64 "\n", c.name.c_str(),
                talvoro::Crc64PathName(c.path), gb / Median(c.seconds),
                c.result);
    if (c.result != contenders[0].result) status = 1;
  }
  if (status != 0) {
    std::fprintf(stderr, "crc64_speed: the paths disagree\n");
  }
  return status;
}
