#include "download/integrity.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "download/crc64.h"
#include "download/download_status.h"
#include "gtest/gtest.h"
#include "test_files.h"

namespace talvoro {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kCheckValue = 0x995DC9BBDF1939FAULL;

class IntegrityTest : public ::testing::Test {
 protected:
  void WriteTarget(const std::string& bytes) {
    ASSERT_TRUE(testing::WriteWholeFile(target_, bytes));
  }

  // Runs the check with both streams captured; notes the phase that the
  // mismatch callback saw (Phase::kHandOff: not called).
  bool Check(std::optional<uint64_t> remote) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    status_.SetPhase(Phase::kDownloading);
    phase_at_mismatch_ = Phase::kHandOff;
    bool ok = CheckIntegrity(target_, remote, status_,
                             [&] { phase_at_mismatch_ = PhaseNow(); });
    out_ = ::testing::internal::GetCapturedStdout();
    err_ = ::testing::internal::GetCapturedStderr();
    return ok;
  }

  talvoro::Phase PhaseNow() { return status_.Read().phase; }

  testing::ScratchDir dir_{"integrity-test"};
  std::string target_ = dir_.File("TalvoroLauncher.bin");
  DownloadStatus status_;
  std::string out_, err_;
  talvoro::Phase phase_at_mismatch_ = Phase::kHandOff;
};

TEST_F(IntegrityTest, MatchingFileIsVerified) {
  WriteTarget("123456789");
  status_.SetProgress(100);
  EXPECT_TRUE(Check(kCheckValue));
  EXPECT_EQ(out_, "下载成功\n");
  EXPECT_EQ(err_, "");
  EXPECT_EQ(PhaseNow(), Phase::kDownloaded);
  EXPECT_EQ(status_.Read().percent, 100);
  // The check deletes nothing.
  EXPECT_TRUE(fs::exists(testing::FsPath(target_)));
}

// An empty file's CRC is 0, the value a missing header once stood for: an
// empty download is never verified, whatever the header says.
TEST_F(IntegrityTest, EmptyFileIsNeverVerified) {
  WriteTarget("");
  EXPECT_FALSE(Check(0));
  EXPECT_EQ(out_, "");
  EXPECT_EQ(err_, "下载文件CRC检查失败: 远端CRC : 0\n");
  EXPECT_EQ(PhaseNow(), Phase::kChecksumFailed);
  // The refusal is recorded before the phase tells the main thread.
  EXPECT_EQ(phase_at_mismatch_, Phase::kDownloading);

  EXPECT_FALSE(Check(std::nullopt));
  EXPECT_EQ(err_, "下载文件CRC检查失败: 远端CRC : absent\n");
  EXPECT_EQ(PhaseNow(), Phase::kChecksumFailed);
}

// A response without the CRC header never verifies; one byte with the right
// value does.
TEST_F(IntegrityTest, AbsentRemoteValueNeverVerifies) {
  WriteTarget("123456789");
  EXPECT_FALSE(Check(std::nullopt));
  EXPECT_EQ(out_, "");
  EXPECT_EQ(err_, "下载文件CRC检查失败: 远端CRC : absent\n");
  EXPECT_EQ(PhaseNow(), Phase::kChecksumFailed);
  EXPECT_TRUE(fs::exists(testing::FsPath(target_)));

  WriteTarget("a");
  EXPECT_TRUE(Check(Crc64Update(0, "a", 1)));
  EXPECT_EQ(out_, "下载成功\n");
  EXPECT_EQ(PhaseNow(), Phase::kDownloaded);
  EXPECT_EQ(phase_at_mismatch_, Phase::kHandOff);
}

TEST_F(IntegrityTest, MismatchPrintsTheRemoteValueNotTheLocalOne) {
  WriteTarget("123456789");
  EXPECT_FALSE(Check(UINT64_MAX));
  EXPECT_EQ(err_, "下载文件CRC检查失败: 远端CRC : 18446744073709551615\n");
  EXPECT_EQ(PhaseNow(), Phase::kChecksumFailed);

  EXPECT_FALSE(Check(kCheckValue ^ 1));
  EXPECT_EQ(err_, "下载文件CRC检查失败: 远端CRC : 11051210869376104955\n");
}

TEST_F(IntegrityTest, MissingOrUnreadableFileFailsWithTheSameLine) {
  WriteTarget("123456789");
  fs::remove(testing::FsPath(target_));
  EXPECT_FALSE(Check(kCheckValue));
  EXPECT_EQ(out_, "");
  EXPECT_EQ(err_, "下载文件CRC检查失败: 远端CRC : 11051210869376104954\n");
  EXPECT_EQ(PhaseNow(), Phase::kChecksumFailed);

  // A directory in its place cannot be read (Windows does not even open
  // it as a file); a remote value of 0 must not be taken for the CRC of
  // "nothing read".
  fs::create_directory(testing::FsPath(target_));
  EXPECT_FALSE(Check(0));
  EXPECT_EQ(err_, "下载文件CRC检查失败: 远端CRC : 0\n");
  EXPECT_EQ(PhaseNow(), Phase::kChecksumFailed);
}

// A file over several read blocks, checked against the value liblzma's
// lzma_crc64 gives for these bytes (the generator's output is the same on
// every platform); one changed byte in the last, partial block is caught.
TEST_F(IntegrityTest, LargeFileAndOneCorruptByte) {
  std::string bytes(5 * kCrc64FileBlockSize / 2 + 77, '\0');
  std::mt19937_64 rng(11);
  for (char& c : bytes) c = static_cast<char>(rng());
  const uint64_t remote = 0x62E4E646A10F51AAULL;
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
  EXPECT_EQ(PhaseNow(), Phase::kChecksumFailed);
}

}  // namespace
}  // namespace talvoro
