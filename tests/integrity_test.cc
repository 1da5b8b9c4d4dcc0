#include "download/integrity.h"

#include <lzma.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "download/crc64.h"
#include "download/download_status.h"
#include "gtest/gtest.h"

namespace talvoro {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kCheckValue = 0x995DC9BBDF1939FAULL;

class IntegrityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = fs::temp_directory_path() / "integrity_test.XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    target_ = dir_ / "TalvoroLauncher.bin";
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  void WriteTarget(const std::string& bytes) {
    std::ofstream out(target_, std::ios::binary | std::ios::trunc);
    out << bytes;
    ASSERT_TRUE(out.good());
  }

  // Runs the check with both streams captured.
  bool Check(uint64_t remote) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    bool ok = CheckIntegrity(target_, remote, status_);
    out_ = ::testing::internal::GetCapturedStdout();
    err_ = ::testing::internal::GetCapturedStderr();
    return ok;
  }

  uint8_t Phase() { return status_.Read().phase; }

  fs::path dir_;
  std::string target_;
  DownloadStatus status_;
  std::string out_, err_;
};

TEST_F(IntegrityTest, MatchingFileIsVerified) {
  WriteTarget("123456789");
  status_.SetProgress(100);
  EXPECT_TRUE(Check(kCheckValue));
  EXPECT_EQ(out_, "下载成功\n");
  EXPECT_EQ(err_, "");
  EXPECT_EQ(Phase(), kDownloaded);
  EXPECT_EQ(status_.Read().percent, 100);
  // The check deletes nothing.
  EXPECT_TRUE(fs::exists(target_));
}

TEST_F(IntegrityTest, EmptyFileMatchesOnlyZero) {
  WriteTarget("");
  EXPECT_TRUE(Check(0));
  EXPECT_EQ(out_, "下载成功\n");
  EXPECT_EQ(Phase(), kDownloaded);

  EXPECT_FALSE(Check(kCheckValue));
  EXPECT_EQ(out_, "");
  EXPECT_EQ(err_, "下载文件CRC检查失败: 远端CRC : 11051210869376104954\n");
  EXPECT_EQ(Phase(), kChecksumFailed);
}

// A response without the CRC header leaves the remote value at 0.
TEST_F(IntegrityTest, RemoteZeroFailsForANonEmptyFile) {
  WriteTarget("123456789");
  EXPECT_FALSE(Check(0));
  EXPECT_EQ(out_, "");
  EXPECT_EQ(err_, "下载文件CRC检查失败: 远端CRC : 0\n");
  EXPECT_EQ(Phase(), kChecksumFailed);
  EXPECT_TRUE(fs::exists(target_));
}

TEST_F(IntegrityTest, MismatchPrintsTheRemoteValueNotTheLocalOne) {
  WriteTarget("123456789");
  EXPECT_FALSE(Check(UINT64_MAX));
  EXPECT_EQ(err_, "下载文件CRC检查失败: 远端CRC : 18446744073709551615\n");
  EXPECT_EQ(Phase(), kChecksumFailed);

  EXPECT_FALSE(Check(kCheckValue ^ 1));
  EXPECT_EQ(err_, "下载文件CRC检查失败: 远端CRC : 11051210869376104955\n");
}

TEST_F(IntegrityTest, MissingOrUnreadableFileFailsWithTheSameLine) {
  WriteTarget("123456789");
  fs::remove(target_);
  EXPECT_FALSE(Check(kCheckValue));
  EXPECT_EQ(out_, "");
  EXPECT_EQ(err_, "下载文件CRC检查失败: 远端CRC : 11051210869376104954\n");
  EXPECT_EQ(Phase(), kChecksumFailed);

  // A directory in its place opens but cannot be read; a remote value of 0
  // must not be taken for the CRC of "nothing read".
  fs::create_directory(target_);
  EXPECT_FALSE(Check(0));
  EXPECT_EQ(err_, "下载文件CRC检查失败: 远端CRC : 0\n");
  EXPECT_EQ(Phase(), kChecksumFailed);
}

// A file over several read blocks, checked against liblzma's value; one
// changed byte in the last, partial block is caught.
TEST_F(IntegrityTest, LargeFileAndOneCorruptByte) {
  std::string bytes(5 * kCrc64FileBlockSize / 2 + 77, '\0');
  std::mt19937_64 rng(11);
  for (char& c : bytes) c = static_cast<char>(rng());
  const uint64_t remote = lzma_crc64(
      reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), 0);
  WriteTarget(bytes);
  EXPECT_TRUE(Check(remote));
  EXPECT_EQ(out_, "下载成功\n");
  EXPECT_EQ(err_, "");

  bytes[bytes.size() - 3] ^= 0x10;
  WriteTarget(bytes);
  EXPECT_FALSE(Check(remote));
  EXPECT_EQ(out_, "");
  EXPECT_EQ(err_,
            "下载文件CRC检查失败: 远端CRC : " + std::to_string(remote) + "\n");
  EXPECT_EQ(Phase(), kChecksumFailed);
}

}  // namespace
}  // namespace talvoro
