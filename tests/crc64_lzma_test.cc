// The CRC-64 paths and the publishers' tool against independent
// references on Linux: liblzma's CRC-64, and the tool run as a child
// process with its resource use measured.
#include <fcntl.h>
#include <lzma.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "crc64_test_util.h"
#include "download/crc64.h"
#include "gtest/gtest.h"
#include "test_files.h"

namespace talvoro {
namespace {

using testing::kCheckInput;
using testing::kCheckValue;
using testing::RandomBytes;
using testing::SupportedPaths;
using TempDir = testing::ScratchDir;

void WriteFile(const std::string& path, const void* data, size_t len) {
  ASSERT_TRUE(testing::WriteWholeFile(
      path, std::string_view(static_cast<const char*>(data), len)))
      << path;
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
  TempDir dir("crc64-tool-test");
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
  TempDir dir("crc64-tool-test");
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
