// What the CRC-64 tests share: the check value and random test data.
#ifndef TALVORO_TESTS_CRC64_TEST_UTIL_H_
#define TALVORO_TESTS_CRC64_TEST_UTIL_H_

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "download/crc64.h"

namespace talvoro::testing {

inline constexpr char kCheckInput[] = "123456789";
inline constexpr uint64_t kCheckValue = 0x995DC9BBDF1939FAULL;

// `n` bytes from a generator seeded with `seed`: the same on every platform.
inline std::vector<unsigned char> RandomBytes(size_t n, uint32_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<unsigned char> v(n);
  for (auto& b : v) b = static_cast<unsigned char>(rng());
  return v;
}

// The paths this CPU can run.
inline std::vector<Crc64Path> SupportedPaths() {
  std::vector<Crc64Path> paths;
  for (Crc64Path p : kAllCrc64Paths) {
    if (Crc64PathSupported(p)) paths.push_back(p);
  }
  return paths;
}

}  // namespace talvoro::testing

#endif  // TALVORO_TESTS_CRC64_TEST_UTIL_H_
