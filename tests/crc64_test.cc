// Every CRC-64 path against the table on this CPU, the dispatch, and the
// CRC of files. The comparisons with liblzma and the tests of the
// publishers' tool are in crc64_lzma_test.cc (Linux).
#include "download/crc64.h"

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "crc64_test_util.h"
#include "gtest/gtest.h"
#include "test_files.h"
#ifdef _WIN32
#include <windows.h>

#include "base/win32_text.h"
#endif

namespace talvoro {
namespace {

namespace fs = std::filesystem;
using testing::kCheckInput;
using testing::kCheckValue;
using testing::MissingFileText;
using testing::RandomBytes;
using testing::ScratchDir;
using testing::SupportedPaths;

void WriteFile(const std::string& path, const void* data, size_t len) {
  ASSERT_TRUE(testing::WriteWholeFile(
      path, std::string_view(static_cast<const char*>(data), len)))
      << path;
}

TEST(Crc64Test, TableEntriesAndCheckValue) {
  EXPECT_EQ(kCrc64Table[0], 0u);
  EXPECT_EQ(kCrc64Table[1], 0xB32E4CBE03A75F6FULL);
  EXPECT_EQ(kCrc64Table[128], 0xC96C5795D7870F42ULL);
  for (Crc64Path p : SupportedPaths()) {
    SCOPED_TRACE(Crc64PathName(p));
    EXPECT_EQ(Crc64With(p, 0, kCheckInput, 9), kCheckValue);
    EXPECT_EQ(Crc64With(p, 0, nullptr, 0), 0u);
    // An empty update leaves any value as it is.
    EXPECT_EQ(Crc64With(p, kCheckValue, kCheckInput, 0), kCheckValue);
  }
  EXPECT_EQ(Crc64Update(0, kCheckInput, 9), kCheckValue);
}

TEST(Crc64Test, DispatchPicksTheBestSupportedPath) {
  ASSERT_TRUE(Crc64PathSupported(Crc64Path::kTable));
  ASSERT_TRUE(Crc64PathSupported(Crc64Path::kSlice8));
  Crc64Path best = Crc64BestPath();
  EXPECT_TRUE(Crc64PathSupported(best));
#if defined(__x86_64__)
  __builtin_cpu_init();
  // The program reads the features with cpuid; they agree with the
  // compiler's own reading.
  bool clmul =
      __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  EXPECT_EQ(Crc64PathSupported(Crc64Path::kClmul), clmul);
  EXPECT_EQ(Crc64PathSupported(Crc64Path::kVpclmul),
            clmul && __builtin_cpu_supports("avx512f") &&
                __builtin_cpu_supports("vpclmulqdq"));
  if (__builtin_cpu_supports("pclmul")) {
    EXPECT_NE(best, Crc64Path::kSlice8);
    EXPECT_NE(best, Crc64Path::kTable);
  }
  if (__builtin_cpu_supports("vpclmulqdq") &&
      __builtin_cpu_supports("avx512f")) {
    EXPECT_EQ(best, Crc64Path::kVpclmul);
  }
#endif
  std::vector<unsigned char> data = RandomBytes(5000, 7);
  EXPECT_EQ(Crc64Update(0, data.data(), data.size()),
            Crc64Table(0, data.data(), data.size()));
}

// Every length from 0 to 1100 at several alignments, from a zero and a
// non-zero starting value: covers every lane count, every tail length and
// the switch-over points between table and folding.
TEST(Crc64Test, EveryPathAgreesWithTheTableForEveryLength) {
  constexpr size_t kMaxLen = 1100;
  constexpr size_t kOffsets[] = {0, 1, 3, 7, 8, 15, 33, 63};
  std::vector<unsigned char> data = RandomBytes(kMaxLen + 64, 1);
  for (Crc64Path p : SupportedPaths()) {
    SCOPED_TRACE(Crc64PathName(p));
    for (size_t offset : kOffsets) {
      for (size_t len = 0; len <= kMaxLen; ++len) {
        const unsigned char* d = data.data() + offset;
        for (uint64_t start : {uint64_t{0}, kCheckValue}) {
          uint64_t want = Crc64Table(start, d, len);
          uint64_t got = Crc64With(p, start, d, len);
          ASSERT_EQ(got, want)
              << "len " << len << " offset " << offset << " start " << start;
        }
      }
    }
  }
}

// Feeding the data in odd-sized pieces gives the CRC of the whole.
TEST(Crc64Test, IncrementalPiecesGiveTheWholeCrc) {
  std::vector<unsigned char> data = RandomBytes(200000, 2);
  const uint64_t whole = Crc64Table(0, data.data(), data.size());
  std::mt19937 rng(3);
  for (Crc64Path p : SupportedPaths()) {
    SCOPED_TRACE(Crc64PathName(p));
    for (size_t max_piece : {7u, 300u, 1100u, 70001u}) {
      std::uniform_int_distribution<size_t> piece(1, max_piece);
      uint64_t crc = 0;
      size_t pos = 0;
      while (pos < data.size()) {
        size_t n = std::min(piece(rng), data.size() - pos);
        crc = Crc64With(p, crc, data.data() + pos, n);
        pos += n;
      }
      EXPECT_EQ(crc, whole) << "pieces up to " << max_piece;
    }
  }
}

TEST(Crc64OfFileTest, SmallEmptyAndMultiBlockFiles) {
  ScratchDir dir("crc64-test");
  WriteFile(dir.File("check"), kCheckInput, 9);
  WriteFile(dir.File("empty"), "", 0);
  // Spans several read blocks and ends in a partial one.
  std::vector<unsigned char> big =
      RandomBytes(3 * kCrc64FileBlockSize + 12345, 6);
  WriteFile(dir.File("big"), big.data(), big.size());

  Result<uint64_t> check = Crc64OfFile(dir.File("check"));
  ASSERT_TRUE(check.ok()) << check.error().message;
  EXPECT_EQ(check.value(), kCheckValue);

  Result<uint64_t> empty = Crc64OfFile(dir.File("empty"));
  ASSERT_TRUE(empty.ok()) << empty.error().message;
  EXPECT_EQ(empty.value(), 0u);

  Result<uint64_t> whole = Crc64OfFile(dir.File("big"));
  ASSERT_TRUE(whole.ok()) << whole.error().message;
  EXPECT_EQ(whole.value(), Crc64Table(0, big.data(), big.size()));
}

TEST(Crc64OfFileTest, UnreadableFilesAreErrors) {
  ScratchDir dir("crc64-test");
  const std::string missing = dir.File("missing");
  Result<uint64_t> r = Crc64OfFile(missing);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, ErrorKind::kFile);
  EXPECT_EQ(r.error().message,
            "cannot open " + missing + ": " + MissingFileText());

  // A directory opens but cannot be read on POSIX; Windows refuses to open
  // it as a file.
  const std::string sub = dir.File("sub");
  ASSERT_TRUE(fs::create_directory(testing::FsPath(sub)));
  Result<uint64_t> d = Crc64OfFile(sub);
  ASSERT_FALSE(d.ok());
  EXPECT_EQ(d.error().kind, ErrorKind::kFile);
#ifdef _WIN32
  EXPECT_EQ(d.error().message,
            "cannot open " + sub + ": " + Win32ErrorText(ERROR_ACCESS_DENIED));
#else
  EXPECT_EQ(d.error().message, "cannot read " + sub + ": Is a directory");
#endif
}

}  // namespace
}  // namespace talvoro
