#include "download/crc64.h"

#include <fcntl.h>
#include <lzma.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace talvoro {
namespace {

namespace fs = std::filesystem;

constexpr char kCheckInput[] = "123456789";
constexpr uint64_t kCheckValue = 0x995DC9BBDF1939FAULL;

std::vector<unsigned char> RandomBytes(size_t n, uint32_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<unsigned char> v(n);
  for (auto& b : v) b = static_cast<unsigned char>(rng());
  return v;
}

std::vector<Crc64Path> SupportedPaths() {
  std::vector<Crc64Path> paths;
  for (Crc64Path p : kAllCrc64Paths) {
    if (Crc64PathSupported(p)) paths.push_back(p);
  }
  return paths;
}

// A fresh directory under the test temporary directory, removed at the end.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = fs::temp_directory_path() / "crc64_test.XXXXXX";
    path_ = ::mkdtemp(tmpl.data());
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  std::string File(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
};

void WriteFile(const std::string& path, const void* data, size_t len) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(len));
  ASSERT_TRUE(out.good()) << path;
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

// liblzma's CRC-64 is an implementation of its own: random buffers of many
// sizes, including ones past every folding stage, must agree with it.
TEST(Crc64Test, AgreesWithLiblzma) {
  std::vector<unsigned char> data = RandomBytes((size_t{4} << 20) + 4096, 4);
  std::mt19937 rng(5);
  std::vector<size_t> lengths = {1,
                                 255,
                                 256,
                                 511,
                                 512,
                                 4095,
                                 65536,
                                 1 << 20,
                                 (1 << 20) + 1,
                                 (3 << 20) + 13,
                                 size_t{4} << 20};
  std::uniform_int_distribution<size_t> any_len(0, size_t{4} << 20);
  for (int i = 0; i < 20; ++i) lengths.push_back(any_len(rng));
  for (Crc64Path p : SupportedPaths()) {
    SCOPED_TRACE(Crc64PathName(p));
    for (size_t len : lengths) {
      size_t offset = len % 61;
      const unsigned char* d = data.data() + offset;
      uint64_t want = lzma_crc64(d, len, 0);
      EXPECT_EQ(Crc64With(p, 0, d, len), want) << "len " << len;
      // Continuing from a previous value agrees too.
      EXPECT_EQ(Crc64With(p, kCheckValue, d, len),
                lzma_crc64(d, len, kCheckValue))
          << "len " << len;
    }
  }
}

// Long runs of equal bytes exercise the folding with degenerate blocks.
TEST(Crc64Test, ConstantBuffersAgreeWithLiblzma) {
  for (unsigned char byte : {0x00, 0xff, 0x80}) {
    std::vector<unsigned char> data(100003, byte);
    uint64_t want = lzma_crc64(data.data(), data.size(), 0);
    for (Crc64Path p : SupportedPaths()) {
      EXPECT_EQ(Crc64With(p, 0, data.data(), data.size()), want)
          << Crc64PathName(p) << " byte " << int{byte};
    }
  }
}

TEST(Crc64OfFileTest, SmallEmptyAndMultiBlockFiles) {
  TempDir dir;
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
  EXPECT_EQ(whole.value(), lzma_crc64(big.data(), big.size(), 0));
}

TEST(Crc64OfFileTest, UnreadableFilesAreErrors) {
  TempDir dir;
  const std::string missing = dir.File("missing");
  Result<uint64_t> r = Crc64OfFile(missing);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, ErrorKind::kFile);
  EXPECT_EQ(r.error().message,
            "cannot open " + missing + ": No such file or directory");

  // A directory opens but cannot be read.
  const std::string sub = dir.File("sub");
  ASSERT_EQ(::mkdir(sub.c_str(), 0700), 0);
  Result<uint64_t> d = Crc64OfFile(sub);
  ASSERT_FALSE(d.ok());
  EXPECT_EQ(d.error().kind, ErrorKind::kFile);
  EXPECT_EQ(d.error().message, "cannot read " + sub + ": Is a directory");
}

// Runs the publishers' tool with `args`; returns its exit code and fills
// the captured streams. `rusage` receives the child's resource use. With
// `stdout_path` the tool writes its standard output there and `out` stays
// empty.
int RunTool(const std::vector<std::string>& args, const TempDir& dir,
            std::string* out, std::string* err, struct rusage* usage,
            const char* stdout_path = nullptr) {
  const std::string out_path = stdout_path ? stdout_path : dir.File("tool.out");
  const std::string err_path = dir.File("tool.err");
  pid_t pid = ::fork();
  if (pid == 0) {
    int o = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                   0600);
    int e = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(o, 1);
    ::dup2(e, 2);
    std::vector<char*> argv;
    std::string tool = TALVORO_CRC64_TOOL;
    argv.push_back(tool.data());
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(tool.c_str(), argv.data());
    ::_exit(127);
  }
  int status = 0;
  if (pid < 0 || ::wait4(pid, &status, 0, usage) != pid) return -1;
  auto slurp = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  *out = stdout_path ? std::string() : slurp(out_path);
  *err = slurp(err_path);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Crc64ToolTest, PrintsOneLinePerFileAndReportsUnreadableOnes) {
  TempDir dir;
  const std::string check = dir.File("check");
  const std::string empty = dir.File("empty");
  const std::string missing = dir.File("missing");
  WriteFile(check, kCheckInput, 9);
  WriteFile(empty, "", 0);
  std::string out, err;
  struct rusage usage {};
  int code = RunTool({check, missing, empty}, dir, &out, &err, &usage);
  EXPECT_EQ(code, 1);
  EXPECT_EQ(out, "11051210869376104954  " + check + "\n0  " + empty + "\n");
  EXPECT_EQ(err, "talvoro-crc64: cannot open " + missing +
                     ": No such file or directory\n");

  code = RunTool({check}, dir, &out, &err, &usage);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(out, "11051210869376104954  " + check + "\n");
  EXPECT_EQ(err, "");

  code = RunTool({}, dir, &out, &err, &usage);
  EXPECT_EQ(code, 2);
  EXPECT_EQ(out, "");
  EXPECT_EQ(err, "usage: talvoro-crc64 FILE...\n");

  // Values that never reach their reader must not look like success.
  code = RunTool({check}, dir, &out, &err, &usage, "/dev/full");
  EXPECT_EQ(code, 1);
  EXPECT_EQ(err, "talvoro-crc64: cannot write to standard output\n");
}

// The file is read in blocks: checking a file far larger than the block
// needs no more memory than a small one.
TEST(Crc64ToolTest, MemoryDoesNotGrowWithTheFile) {
  TempDir dir;
  const std::string large = dir.File("large");
  constexpr off_t kLargeSize = off_t{768} << 20;
  {
    // Sparse: reads as zeros without taking disk space.
    int fd = ::open(large.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, kLargeSize - 1), 0);
    ASSERT_EQ(::pwrite(fd, "x", 1, kLargeSize - 1), 1);
    ::close(fd);
  }
  std::vector<unsigned char> zeros(kCrc64FileBlockSize, 0);
  uint64_t want = 0;
  for (off_t done = 0; done < kLargeSize - 1;) {
    size_t n = static_cast<size_t>(
        std::min<off_t>(kLargeSize - 1 - done, zeros.size()));
    want = Crc64Update(want, zeros.data(), n);
    done += static_cast<off_t>(n);
  }
  want = Crc64Update(want, "x", 1);

  std::string out, err;
  struct rusage usage {};
  int code = RunTool({large}, dir, &out, &err, &usage);
  EXPECT_EQ(code, 0) << err;
  EXPECT_EQ(out, std::to_string(want) + "  " + large + "\n");
  // ru_maxrss is in KiB.
  EXPECT_LT(usage.ru_maxrss, 32 * 1024) << "peak resident KiB";
}

}  // namespace
}  // namespace talvoro
