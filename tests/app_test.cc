// The poll step's reactions to each phase, and the bootstrap's own file
// operations (clean-up, launcher hand-off) in a scratch folder.
#include "main/app.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "main/handoff.h"

namespace talvoro {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

// Records every action of the poll step in order.
struct Recorder {
  std::vector<std::string> log;
  PollActions actions() {
    return PollActions{
        [this](int v) { log.push_back("bar " + std::to_string(v)); },
        [this] { log.push_back("start"); },
        [this] { log.push_back("clean"); },
        [this](milliseconds ms) {
          log.push_back("pause " + std::to_string(ms.count()));
        },
        [this] { log.push_back("handoff"); },
    };
  }
};

void Set(DownloadStatus& s, uint8_t phase, uint8_t percent) {
  s.phase = phase;
  s.percent = percent;
}

TEST(PollStep, BarFollowsPercentCappedAt100) {
  DownloadStatus s;
  Recorder r;
  Set(s, kDownloading, 42);
  PollStep(s, r.actions());
  Set(s, kDownloading, 101);
  PollStep(s, r.actions());
  Set(s, kDownloading, 255);
  PollStep(s, r.actions());
  EXPECT_EQ(r.log, (std::vector<std::string>{"bar 42", "bar 100", "bar 100"}));
}

TEST(PollStep, VerifiedShowsFullBarForOnePollBeforeHandOff) {
  DownloadStatus s;
  Recorder r;
  Set(s, kDownloaded, 100);
  PollStep(s, r.actions());
  EXPECT_EQ(r.log, std::vector<std::string>{"bar 100"});
  EXPECT_EQ(s.phase, kHandOff);
  PollStep(s, r.actions());
  EXPECT_EQ(r.log, (std::vector<std::string>{"bar 100", "handoff"}));
}

TEST(PollStep, ChecksumFailureCleansUpAndRestartsAtOnce) {
  DownloadStatus s;
  Recorder r;
  Set(s, kChecksumFailed, 100);
  PollStep(s, r.actions());
  EXPECT_EQ(r.log, (std::vector<std::string>{"clean", "bar 0", "start"}));
  EXPECT_EQ(s.phase, kDownloading);
  EXPECT_EQ(s.percent, 0);
}

TEST(PollStep, FailureCleansUpPausesThenRestarts) {
  DownloadStatus s;
  Recorder r;
  Set(s, kDownloadFailed, 30);
  PollStep(s, r.actions());
  EXPECT_EQ(r.log, (std::vector<std::string>{"clean", "pause 3000", "bar 0",
                                             "start"}));
  EXPECT_EQ(s.phase, kDownloading);
  EXPECT_EQ(s.percent, 0);
}

TEST(PollStep, NetworkFailureKeepsFilesAndProgress) {
  DownloadStatus s;
  Recorder r;
  Set(s, kDownloadInterrupted, 30);
  PollStep(s, r.actions());
  EXPECT_EQ(r.log, (std::vector<std::string>{"pause 3000", "start"}));
  EXPECT_EQ(s.phase, kDownloading);
  EXPECT_EQ(s.percent, 30);
}

// Polls that come after a restart but before the new task's first update
// must not start a second download.
TEST(PollStep, NeverTwoDownloadsAtOnce) {
  for (uint8_t failed :
       {kChecksumFailed, kDownloadFailed, kDownloadInterrupted}) {
    DownloadStatus s;
    Recorder r;
    int running = 0, most = 0;
    PollActions a = r.actions();
    a.start_download = [&] { most = std::max(most, ++running); };
    a.pause = [](milliseconds) {};
    for (int round = 0; round < 3; ++round) {
      Set(s, failed, 50);
      for (int poll = 0; poll < 5; ++poll) PollStep(s, a);
      --running;  // the task ends with its failure phase
    }
    EXPECT_EQ(most, 1) << "phase " << int(failed);
  }
}

// A scratch folder that is also the current directory while it lives.
class ScratchDir : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = fs::current_path();
    dir_ = fs::temp_directory_path() /
           ("talvoro-app-test-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    fs::current_path(dir_);
  }
  void TearDown() override {
    fs::current_path(old_);
    fs::remove_all(dir_);
  }
  static void Write(const std::string& name, const std::string& content) {
    std::ofstream(name, std::ios::binary) << content;
  }
  static std::string Read(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // Waits (bounded) for `name` to exist.
  static bool WaitFor(const std::string& name) {
    for (int i = 0; i < 200 && !fs::exists(name); ++i) {
      std::this_thread::sleep_for(milliseconds(10));
    }
    return fs::exists(name);
  }
  fs::path old_, dir_;
};

using CleanUp = ScratchDir;
using HandOff = ScratchDir;

TEST_F(CleanUp, DeletesBothFiles) {
  Write(kTargetFileName, "partial");
  Write(kEtagFileName, "\"etag\"");
  testing::internal::CaptureStderr();
  CleanUpDownload();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(fs::exists(kTargetFileName));
  EXPECT_FALSE(fs::exists(kEtagFileName));
}

TEST_F(CleanUp, ReportsEachMissingFileAndGoesOn) {
  Write(kEtagFileName, "\"etag\"");
  testing::internal::CaptureStderr();
  CleanUpDownload();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "删除文件失败: No such file or directory\n");
  EXPECT_FALSE(fs::exists(kEtagFileName));

  testing::internal::CaptureStderr();
  CleanUpDownload();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "删除文件失败: No such file or directory\n"
            "删除ETag文件失败: No such file or directory\n");
}

const char kLauncherScript[] =
    "#!/bin/sh\necho started >> ran.txt\nexit 0\n# padding\n";

TEST_F(HandOff, PutsAWholeExecutableCopyInPlaceAndStartsIt) {
  Write(kTargetFileName, kLauncherScript);
  Write(kEtagFileName, "\"etag\"");
  Write(kLauncherName, "an older launcher");
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  InstallAndStartLauncher();
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Setup executable started successfully\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(Read(kLauncherName), kLauncherScript);
  EXPECT_EQ(fs::status(kLauncherName).permissions() & fs::perms::all,
            fs::perms(0755));
  ASSERT_TRUE(WaitFor("ran.txt"));
  EXPECT_EQ(Read(kTargetFileName), kLauncherScript);  // the download stays
  EXPECT_TRUE(fs::exists(kEtagFileName));
  EXPECT_FALSE(fs::exists(kLauncherTempName));
}

TEST_F(HandOff, MissingDownloadLeavesNoPartialLauncher) {
  Write(kLauncherName, "an older launcher");
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  InstallAndStartLauncher();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Failed to copy file: No such file or directory\n"
            "Failed to start setup executable: No such file or directory\n");
  EXPECT_FALSE(fs::exists(kLauncherName));
  EXPECT_FALSE(fs::exists(kLauncherTempName));
}

TEST_F(HandOff, UnstartableFileIsReported) {
  Write(kTargetFileName, std::string("\x7f"
                                     "ELF garbage",
                                     12));
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  InstallAndStartLauncher();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Failed to start setup executable: Exec format error\n");
}

TEST_F(HandOff, PathsFollowTheCurrentDirectory) {
  EXPECT_EQ(PathInCurrentDir(kLauncherName),
            (fs::current_path() / kLauncherName).string());
}

}  // namespace
}  // namespace talvoro
