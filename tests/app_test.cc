// The poll step's reactions to each phase, and the bootstrap's own file
// operations (clean-up, launcher hand-off) in a scratch folder.
#include "main/app.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "base/file.h"
#include "gtest/gtest.h"
#include "main/handoff.h"
#include "main/log.h"
#ifdef _WIN32
#include "ui/win32/taskbar_win.h"
#endif
#include "test_files.h"
#ifdef _WIN32
#include <windows.h>

#include "base/system_library.h"
#include "base/win32_text.h"
#include "main/process.h"
#endif

namespace talvoro {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using testing::MissingFileText;

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

void Set(DownloadStatus& s, Phase phase, uint8_t percent) {
  s.SetProgress(percent);
  if (phase != Phase::kDownloading) s.SetPhase(phase);
}

// The poll step on a clock of its own, with the jitter left out (`random`
// gives 0) unless a test sets it.
struct Poller {
  DownloadStatus s;
  Recorder r;
  PollState state{RetrySchedule([this] { return random; })};
  std::chrono::steady_clock::time_point now{};
  double random = 0;

  void Poll(PollActions actions) { PollStep(s, state, actions, now); }
  void Poll() { Poll(r.actions()); }
  void Wait(milliseconds ms) { now += ms; }
};

TEST(PollStep, BarFollowsPercentCappedAt100) {
  Poller p;
  for (uint8_t percent : {42, 101, 255}) {
    Set(p.s, Phase::kDownloading, percent);
    p.Poll();
  }
  EXPECT_EQ(p.r.log,
            (std::vector<std::string>{"bar 42", "bar 100", "bar 100"}));
}

TEST(PollStep, VerifiedShowsFullBarForOnePollBeforeHandOff) {
  Poller p;
  Set(p.s, Phase::kDownloaded, 100);
  p.Poll();
  EXPECT_EQ(p.r.log, std::vector<std::string>{"bar 100"});
  EXPECT_EQ(p.s.Read().phase, Phase::kHandOff);
  p.Poll();
  EXPECT_EQ(p.r.log, (std::vector<std::string>{"bar 100", "handoff"}));
}

TEST(PollStep, ChecksumFailureCleansUpAndRestartsAtOnce) {
  Poller p;
  Set(p.s, Phase::kChecksumFailed, 100);
  p.Poll();
  EXPECT_EQ(p.r.log,
            (std::vector<std::string>{"clean", "pause 0", "bar 0", "start"}));
  EXPECT_EQ(p.s.Read().phase, Phase::kDownloading);
  EXPECT_EQ(p.s.Read().percent, 0);
}

// The pause does not block: polls during it do nothing, the first one past
// its end restarts.
TEST(PollStep, FailureCleansUpPausesThenRestarts) {
  Poller p;
  Set(p.s, Phase::kDownloadFailed, 30);
  p.Poll();
  EXPECT_EQ(p.r.log, (std::vector<std::string>{"clean", "pause 3000"}));
  p.Wait(milliseconds(2999));
  p.Poll();
  EXPECT_EQ(p.r.log.size(), 2u);
  EXPECT_EQ(p.s.Read().phase, Phase::kDownloadFailed);
  p.Wait(milliseconds(1));
  p.Poll();
  EXPECT_EQ(p.r.log, (std::vector<std::string>{"clean", "pause 3000", "bar 0",
                                               "start"}));
  EXPECT_EQ(p.s.Read().phase, Phase::kDownloading);
  EXPECT_EQ(p.s.Read().percent, 0);
}

// A refused publication still announced wrote nothing: no clean-up (whose
// missing files would each print a line), and the pauses go on growing as
// after the CRC mismatch that refused it.
TEST(PollStep, RefusedPublicationBacksOffWithoutCleanUp) {
  Poller p;
  Set(p.s, Phase::kChecksumFailed, 100);
  p.Poll();
  for (int64_t pause : {1000, 2000, 4000}) {
    Set(p.s, Phase::kPublicationRejected, 0);
    p.r.log.clear();
    p.Poll();
    p.Wait(milliseconds(pause));
    p.Poll();
    EXPECT_EQ(p.r.log,
              (std::vector<std::string>{"pause " + std::to_string(pause),
                                        "bar 0", "start"}));
  }
}

TEST(PollStep, NetworkFailureKeepsFilesAndProgress) {
  Poller p;
  Set(p.s, Phase::kDownloadInterrupted, 30);
  p.Poll();
  p.Wait(kRetryPause);
  p.Poll();
  EXPECT_EQ(p.r.log, (std::vector<std::string>{"pause 3000", "start"}));
  EXPECT_EQ(p.s.Read().phase, Phase::kDownloading);
  EXPECT_EQ(p.s.Read().percent, 30);
}

// Consecutive failures back off: CRC mismatches 0 s, 1 s, 2 s, 4 s ...,
// other failures 3 s, 6 s, 12 s ..., both up to 60 s; an interrupted
// attempt that brought bytes starts again from the first pause.
TEST(PollStep, ConsecutiveFailuresBackOff) {
  auto pauses = [](Poller& p, Phase phase, int count) {
    std::vector<int64_t> seen;
    for (int i = 0; i < count; ++i) {
      p.r.log.clear();
      int64_t pause = -1;
      Set(p.s, phase, 0);
      p.Poll();
      for (const std::string& entry : p.r.log) {
        if (entry.rfind("pause ", 0) == 0) pause = std::stoll(entry.substr(6));
      }
      seen.push_back(pause);
      p.Wait(kMaxRetryPause);
      if (p.state.restart_at) p.Poll();  // restarts
      EXPECT_EQ(p.r.log.back(), "start");
    }
    return seen;
  };
  Poller crc;
  EXPECT_EQ(pauses(crc, Phase::kChecksumFailed, 9),
            (std::vector<int64_t>{0, 1000, 2000, 4000, 8000, 16000, 32000,
                                  60000, 60000}));
  Poller other;
  EXPECT_EQ(pauses(other, Phase::kDownloadFailed, 3),
            (std::vector<int64_t>{3000, 6000, 12000}));
  EXPECT_EQ(pauses(other, Phase::kDownloadInterrupted, 3),
            (std::vector<int64_t>{24000, 48000, 60000}));
  // New bytes: the count starts again.
  other.s.SetProgress(10, 4096);
  Set(other.s, Phase::kDownloadInterrupted, 10);
  other.Poll();
  EXPECT_EQ(other.r.log.back(), "pause 3000");

  // The jitter shortens every pause, the first too, by up to a half.
  Poller jittered;
  jittered.random = 0.999;
  std::vector<int64_t> seen = pauses(jittered, Phase::kDownloadFailed, 4);
  for (size_t i = 0; i < seen.size(); ++i) {
    const int64_t base = 3000 << i;
    EXPECT_GE(seen[i], base / 2);
    EXPECT_LT(seen[i], base * 51 / 100);
  }
}

// A fleet that failed at once comes back spread out from the first retry
// on: the first pauses of many copies cover 1.5 s to 3 s evenly.
TEST(RetrySchedule, FirstPausesOfManyCopiesSpreadEvenly) {
  std::vector<int> bins(10);
  for (int copy = 0; copy < 10000; ++copy) {
    const int64_t ms =
        RetrySchedule().NextPause(Phase::kDownloadFailed, 0).count();
    ASSERT_GE(ms, 1500);
    ASSERT_LE(ms, 3000);
    ++bins[std::min<int64_t>((ms - 1500) / 150, 9)];
  }
  for (int n : bins) EXPECT_GT(n, 700);  // 1000 each on average
}

// The server's Retry-After sets the earliest end of the pause: never
// shortened by the jitter, lengthened by up to half (at most 30 s), the
// whole capped at 10 minutes. It counts as a failure like any other.
TEST(RetrySchedule, ServerWaitIsHonouredAndCapped) {
  using std::chrono::seconds;
  struct Case {
    double random;
    int64_t asked_s;
    int64_t pause_ms;
  };
  const Case cases[] = {
      {0.0, 20, 20000},     {0.999, 20, 29990},   {0.0, 1, 3000},
      {0.999, 1, 1501},     {0.999, 300, 329970}, {0.0, 590, 590000},
      {0.999, 590, 600000}, {0.0, 86400, 600000}, {0.999, INT32_MAX, 600000},
  };
  for (const Case& c : cases) {
    RetrySchedule schedule([&] { return c.random; });
    EXPECT_EQ(
        schedule.NextPause(Phase::kDownloadInterrupted, 0, seconds(c.asked_s))
            .count(),
        c.pause_ms)
        << c.random << " " << c.asked_s;
  }
  RetrySchedule schedule([] { return 0.0; });
  EXPECT_EQ(
      schedule.NextPause(Phase::kDownloadInterrupted, 0, seconds(5)).count(),
      5000);
  EXPECT_EQ(schedule.NextPause(Phase::kDownloadInterrupted, 0).count(), 6000);
  EXPECT_EQ(schedule.NextPause(Phase::kDownloadFailed, 0, seconds(2)).count(),
            12000);
}

// The wait a busy server asked for reaches the pause; the restart forgets
// it.
TEST(PollStep, BusyServersWaitSetsThePause) {
  Poller p;
  p.s.SetProgress(40);
  Error busy = ProtocolError("HEAD 请求失败，响应: HTTP/1.1 503");
  busy.cause = Cause::kServerBusy;
  busy.retry_after = std::chrono::seconds(20);
  p.s.Fail(Phase::kDownloadInterrupted, busy);
  p.Poll();
  EXPECT_EQ(p.r.log.front(), "pause 20000");
  const size_t after_pause = p.r.log.size();
  p.Wait(milliseconds(19999));
  p.Poll();
  EXPECT_EQ(p.r.log.size(), after_pause);
  p.Wait(milliseconds(1));
  p.Poll();
  EXPECT_EQ(p.r.log.back(), "start");
  EXPECT_EQ(p.s.Read().error, std::nullopt);
  EXPECT_EQ(p.s.Read().percent, 40);
}

// Polls that come after a restart but before the new task's first update
// must not start a second download.
TEST(PollStep, NeverTwoDownloadsAtOnce) {
  for (Phase failed : {Phase::kChecksumFailed, Phase::kDownloadFailed,
                       Phase::kDownloadInterrupted}) {
    Poller p;
    int running = 0, most = 0;
    PollActions a = p.r.actions();
    a.start_download = [&] { most = std::max(most, ++running); };
    for (int round = 0; round < 3; ++round) {
      Set(p.s, failed, 50);
      for (int poll = 0; poll < 5; ++poll) {
        p.Poll(a);
        p.Wait(kMaxRetryPause);
      }
      --running;  // the task ends with its failure phase
    }
    EXPECT_EQ(most, 1) << "phase " << int(failed);
  }
}

// What the window shows through a failure: nothing while the download
// runs, the cause with a countdown updated each second during the pause and
// the bar's error state, then nothing and the normal bar when the next
// attempt starts; the poll is due again when the countdown changes.
TEST(PollStep, PauseShowsTheCauseWithACountdown) {
  Poller p;
  std::vector<std::string> shown;
  std::vector<bool> bar_error;
  PollActions a = p.r.actions();
  a.show_status = [&](const std::string& line) { shown.push_back(line); };
  a.show_bar_error = [&](bool error) { bar_error.push_back(error); };
  p.state.folder = "/home/u/dl/";
  Set(p.s, Phase::kDownloading, 10);
  p.Poll(a);
  EXPECT_TRUE(shown.empty());
  EXPECT_TRUE(bar_error.empty());
  p.s.Fail(Phase::kDownloadInterrupted, NetworkError("connection refused"));
  p.Poll(a);
  EXPECT_EQ(shown, std::vector<std::string>{
                       "Can't reach the download server. Retrying in 3 s."});
  EXPECT_EQ(bar_error, std::vector<bool>{true});
  EXPECT_EQ(p.state.due, p.now + std::chrono::seconds(1));
  p.Wait(milliseconds(400));
  p.Poll(a);  // still 3 s, rounded up: nothing new
  EXPECT_EQ(shown.size(), 1u);
  EXPECT_EQ(p.state.due, p.now + milliseconds(600));
  p.Wait(milliseconds(600));
  p.Poll(a);
  EXPECT_EQ(shown.back(), "Can't reach the download server. Retrying in 2 s.");
  p.Wait(milliseconds(2000));
  p.Poll(a);  // the next attempt
  EXPECT_EQ(shown.back(), "");
  EXPECT_EQ(bar_error, (std::vector<bool>{true, false}));
  EXPECT_EQ(p.r.log.back(), "start");
}

// A connected attempt that receives nothing for 15 s says it waits; the
// line goes when bytes come.
TEST(PollStep, WaitingLineAfterFifteenSecondsWithoutBytes) {
  Poller p;
  std::vector<std::string> shown;
  PollActions a = p.r.actions();
  a.show_status = [&](const std::string& line) { shown.push_back(line); };
  p.state.language = Language::kChinese;
  p.s.Restart(false, p.now);
  p.Poll(a);
  EXPECT_LE(p.state.due, p.now + kWaitingAfter);
  p.Wait(kWaitingAfter - milliseconds(1));
  p.Poll(a);
  EXPECT_TRUE(shown.empty());
  p.Wait(milliseconds(1));
  p.Poll(a);
  EXPECT_EQ(shown, std::vector<std::string>{"正在等待下载服务器发送数据…"});
  // Bytes arrive (stamped with the real clock, far past this test's).
  p.s.SetProgress(20, 100);
  p.now = std::chrono::steady_clock::now();
  p.Poll(a);
  EXPECT_EQ(shown.back(), "");
}

TEST(StatusText, EachCauseHasItsOwnLineInBothLanguages) {
  const std::string folder = "/home/u/dl/";
  auto with_cause = [](Error e, Cause cause) {
    e.cause = cause;
    return e;
  };
  Error folder_error = FileError("Permission denied");
  folder_error.path = folder + kTargetFileName;
  const Error no_space{ErrorKind::kNoSpace,
                       "not enough free disk space: 104857602 bytes needed, "
                       "1 bytes free"};
  struct Case {
    Phase phase;
    std::optional<Error> error;
    const char* zh;
    const char* en;
  };
  const Case cases[] = {
      {Phase::kDownloadInterrupted, NetworkError("timed out"),
       "无法连接到下载服务器，12 秒后重试",
       "Can't reach the download server. Retrying in 12 s."},
      {Phase::kDownloadInterrupted,
       with_cause(ProtocolError("HTTP 503"), Cause::kServerBusy),
       "下载服务器繁忙，12 秒后重试",
       "The download server is busy. Retrying in 12 s."},
      {Phase::kDownloadInterrupted,
       with_cause(NetworkError("403"), Cause::kProxyRefused),
       "代理服务器拒绝了连接，12 秒后重试",
       "The proxy server refused the connection. Retrying in 12 s."},
      {Phase::kDownloadInterrupted,
       with_cause(NetworkError("407"), Cause::kProxySignIn),
       "代理服务器拒绝了连接：需要登录，12 秒后重试",
       "The proxy server refused the connection: it asks for a sign-in. "
       "Retrying in 12 s."},
      {Phase::kDownloadInterrupted,
       with_cause(NetworkError("certificate"), Cause::kUntrusted),
       "服务器证书不受信任，本机或网络中可能有程序在拦截安全连接，12 秒后重试",
       "The server's certificate is not trusted: a program on this computer "
       "or network may be intercepting secure connections. Retrying in 12 "
       "s."},
      {Phase::kDownloadInterrupted, no_space,
       "磁盘空间不足，还需要 101 MB，12 秒后重试",
       "Not enough disk space: 101 MB more needed. Retrying in 12 s."},
      {Phase::kDownloadInterrupted,
       Error{ErrorKind::kNoSpace, "No space left on device"},
       "磁盘空间不足，12 秒后重试", "Not enough disk space. Retrying in 12 s."},
      {Phase::kDownloadFailed, folder_error,
       "无法写入文件夹 /home/u/dl，请把程序移到可以写入的文件夹，12 秒后重试",
       "Can't write to the folder /home/u/dl. Move the program to a folder "
       "you can write to. Retrying in 12 s."},
      {Phase::kChecksumFailed, std::nullopt,
       "下载的文件已损坏，12 秒后重新下载",
       "The file arrived damaged. Downloading again in 12 s."},
      {Phase::kPublicationRejected,
       Error{ErrorKind::kRejected, "the server still announces ..."},
       "服务器上的文件未通过检查，正在等待服务器修复，12 秒后再次检查",
       "The server's file failed its check. Waiting for the server to fix "
       "it. Checking again in 12 s."},
      {Phase::kDownloadFailed, ProtocolError("HTTP 404"),
       "下载失败，12 秒后重试", "The download failed. Retrying in 12 s."},
  };
  for (const Case& c : cases) {
    const Error* error = c.error ? &*c.error : nullptr;
    EXPECT_EQ(PauseLine(Language::kChinese, c.phase, error, folder, 12), c.zh);
    EXPECT_EQ(PauseLine(Language::kEnglish, c.phase, error, folder, 12), c.en);
  }
  // A file error outside the working folder does not blame the folder.
  Error elsewhere = FileError("denied");
  elsewhere.path = "/tmp/x";
  EXPECT_EQ(TroubleOf(Phase::kDownloadFailed, &elsewhere, folder),
            Trouble::kFailed);
}

TEST(StatusText, LanguageFromTheLocale) {
  EXPECT_EQ(LanguageOfLocale(nullptr, nullptr, "zh_CN.UTF-8"),
            Language::kChinese);
  EXPECT_EQ(LanguageOfLocale(nullptr, "zh_TW.UTF-8", "en_US.UTF-8"),
            Language::kChinese);
  // LC_ALL wins; an empty one counts as unset.
  EXPECT_EQ(LanguageOfLocale("C", "zh_CN.UTF-8", "zh_CN.UTF-8"),
            Language::kEnglish);
  EXPECT_EQ(LanguageOfLocale("", nullptr, "zh_HK"), Language::kChinese);
  EXPECT_EQ(LanguageOfLocale(nullptr, nullptr, nullptr), Language::kEnglish);
}

// A scratch folder that is also the current directory while it lives.
class ScratchDir : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = fs::current_path();
    fs::current_path(testing::FsPath(dir_.path()));
  }
  void TearDown() override { fs::current_path(old_); }
  static void Write(const std::string& name, const std::string& content) {
    std::ofstream(name, std::ios::binary) << content;
  }
  static std::string Read(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // Waits (at most 10 s) until the file `name` holds `content`; returns
  // what it holds then.
  static std::string WaitForContent(const std::string& name,
                                    const std::string& content) {
    std::string now = Read(name);
    for (int i = 0; i < 1000 && now != content; ++i) {
      std::this_thread::sleep_for(milliseconds(10));
      now = Read(name);
    }
    return now;
  }
  testing::ScratchDir dir_{"app-test"};
  fs::path old_;
};

using CleanUp = ScratchDir;
using HandOff = ScratchDir;

TEST_F(CleanUp, DeletesBothFiles) {
  Write(kTargetFileName, "partial");
  Write(kEtagFileName, "\"etag\"");
  ::testing::internal::CaptureStderr();
  CleanUpDownload();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(fs::exists(kTargetFileName));
  EXPECT_FALSE(fs::exists(kEtagFileName));
}

TEST_F(CleanUp, ReportsEachMissingFileAndGoesOn) {
  Write(kEtagFileName, "\"etag\"");
  ::testing::internal::CaptureStderr();
  CleanUpDownload();
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "删除文件失败: " + MissingFileText() + "\n");
  if (testing::UnderWine()) {
    EXPECT_EQ(err, "删除文件失败: File not found.\n");
  }
  EXPECT_FALSE(fs::exists(kEtagFileName));

  ::testing::internal::CaptureStderr();
  CleanUpDownload();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "删除文件失败: " + MissingFileText() + "\n" +
                "删除ETag文件失败: " + MissingFileText() + "\n");
}

#ifdef _WIN32
// The program of app_test_launcher.c, built beside this test. It appends
// "started\n" to ran.txt in its current folder, waits while a file "hold"
// is there (at most 30 s), then appends "ended\n" and exits.
std::string LauncherBytes() {
  std::wstring self(MAX_PATH * 2, L'\0');
  self.resize(GetModuleFileNameW(nullptr, self.data(),
                                 static_cast<DWORD>(self.size())));
  return testing::ReadWholeFile(testing::Utf8Path(fs::path(self).parent_path() /
                                                  "app_test_launcher.exe"));
}
const char kRanOnce[] = "started\nended\n";
std::string BadFormatText() { return Win32ErrorText(ERROR_BAD_EXE_FORMAT); }
#else
std::string LauncherBytes() {
  return "#!/bin/sh\necho started >> ran.txt\nexit 0\n# padding\n";
}
const char kRanOnce[] = "started\n";
std::string BadFormatText() { return "Exec format error"; }
#endif

TEST(SignerList, ParsesFingerprintsAndRefusesAnythingElse) {
  const std::string a(64, 'a'), b = std::string(62, '0') + "Ff";
  Result<std::vector<KeyFingerprint>> list =
      ParseSignerList(" " + a + ";" + b + " ;");
  ASSERT_TRUE(list.ok());
  ASSERT_EQ(list->size(), 2u);
  EXPECT_EQ((*list)[0][0], 0xaa);
  EXPECT_EQ((*list)[1][30], 0x00);
  EXPECT_EQ((*list)[1][31], 0xff);
  EXPECT_TRUE(ParseSignerList("").value().empty());
  for (const std::string& bad : {a.substr(1), a + "0", a.substr(1) + "g"}) {
    Result<std::vector<KeyFingerprint>> refused = ParseSignerList(bad);
    ASSERT_FALSE(refused.ok()) << bad;
    EXPECT_EQ(refused.error().message, "bad signer fingerprint: " + bad);
  }
}

TEST_F(HandOff, PutsAWholeExecutableCopyInPlaceAndStartsIt) {
  const std::string launcher = LauncherBytes();
  ASSERT_FALSE(launcher.empty());
  Write(kTargetFileName, launcher);
  Write(kEtagFileName, "\"etag\"");
  Write(kLauncherName, "an older launcher");
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  InstallAndStartLauncher();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Setup executable started successfully\n");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(Read(kLauncherName), launcher);
#ifndef _WIN32
  EXPECT_EQ(fs::status(kLauncherName).permissions() & fs::perms::all,
            fs::perms(0755));
#endif
  EXPECT_EQ(WaitForContent("ran.txt", kRanOnce), kRanOnce);
  EXPECT_EQ(Read(kTargetFileName), launcher);  // the download stays
  EXPECT_TRUE(fs::exists(kEtagFileName));
  EXPECT_FALSE(fs::exists(kLauncherTempName));
}

// The copy is made before the launcher is touched: a copy that fails after
// the download was verified (the download gone, the temporary name taken by
// a folder) leaves the old launcher in place, and that one is started.
TEST_F(HandOff, FailedCopyKeepsTheOldLauncherAndStartsIt) {
  const std::string old = LauncherBytes() + "an older one";
#ifdef _WIN32
  const std::string taken = Win32ErrorText(ERROR_ACCESS_DENIED);
#else
  const std::string taken = "Invalid argument";
#endif
  for (const bool folder_at_temp : {false, true}) {
    SCOPED_TRACE(folder_at_temp ? "a folder at the temporary name"
                                : "no download");
    fs::remove_all(kLauncherTempName);
    fs::remove("ran.txt");
    Write(kLauncherName, old);
    fs::permissions(kLauncherName, fs::perms(0755));
    if (folder_at_temp) {
      Write(kTargetFileName, LauncherBytes());
      fs::create_directory(kLauncherTempName);
    } else {
      fs::remove(kTargetFileName);
    }
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(InstallAndStartLauncher());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Setup executable started successfully\n");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Failed to copy file: " +
                  (folder_at_temp ? taken : MissingFileText()) + "\n");
    EXPECT_EQ(WaitForContent("ran.txt", kRanOnce), kRanOnce);
    EXPECT_TRUE(Read(kLauncherName) == old);
    EXPECT_EQ(fs::is_directory(kLauncherTempName), folder_at_temp);
  }
}

TEST_F(HandOff, UnstartableFileIsReported) {
  Write(kTargetFileName, std::string("\x7f"
                                     "ELF garbage",
                                     12));
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  InstallAndStartLauncher();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Failed to start setup executable: " + BadFormatText() + "\n");
}

#ifdef _WIN32
// Windows keeps a running program's file: a new download cannot replace
// the launcher while it runs. The hand-off reports both failed steps and
// starts the launcher that is there, which stays whole.
TEST_F(HandOff, RunningLauncherIsKeptAndStartedAgain) {
  const std::string launcher = LauncherBytes();
  ASSERT_FALSE(launcher.empty());
  Write(kTargetFileName, launcher);
  Write("hold", "");
  ::testing::internal::CaptureStdout();
  InstallAndStartLauncher();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Setup executable started successfully\n");
  ASSERT_EQ(WaitForContent("ran.txt", "started\n"), "started\n");

  Write(kTargetFileName, launcher + "a newer one");
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  HandOffOptions briefly;
  briefly.busy_limit = milliseconds(300);
  InstallAndStartLauncher(briefly);
  const std::string out = ::testing::internal::GetCapturedStdout();
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(WaitForContent("ran.txt", "started\nstarted\n"),
            "started\nstarted\n");
  fs::remove("hold");
  EXPECT_EQ(WaitForContent("ran.txt", "started\nstarted\nended\nended\n"),
            "started\nstarted\nended\nended\n");

  const std::string denied = Win32ErrorText(ERROR_ACCESS_DENIED);
  if (testing::UnderWine()) {
    EXPECT_EQ(denied, "Access denied.");
  }
  EXPECT_EQ(out, "Setup executable started successfully\n");
  EXPECT_EQ(err, "Failed to delete existing file: " + denied +
                     "\nFailed to copy file: " + denied + "\n");
  EXPECT_TRUE(Read(kLauncherName) == launcher);
  EXPECT_FALSE(fs::exists(kLauncherTempName));
}

// A scanner holds the old launcher open without delete sharing: the
// replacement waits for it, up to the limit, then goes on as before.
TEST_F(HandOff, LauncherHeldByAnotherProgramIsWaitedFor) {
  const std::string launcher = LauncherBytes();
  ASSERT_FALSE(launcher.empty());
  for (const bool let_go : {true, false}) {
    // The launcher the round before started may still be ending.
    std::error_code gone;
    for (int i = 0; i < 500 && fs::exists(kLauncherName) &&
                    !fs::remove(kLauncherName, gone);
         ++i) {
      std::this_thread::sleep_for(milliseconds(10));
    }
    Write(kLauncherName, launcher + "an older one");
    ASSERT_TRUE(Read(kLauncherName) == launcher + "an older one");
    Write(kTargetFileName, launcher);
    HANDLE held =
        CreateFileW(fs::path(kLauncherName).c_str(), GENERIC_READ,
                    FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    int pauses = 0;
    HandOffOptions options;
    options.busy_limit = milliseconds(let_go ? 5000 : 500);
    options.pause = [&](milliseconds pause) {
      std::this_thread::sleep_for(pause);
      if (++pauses == 10 && let_go) CloseHandle(held);
    };
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(InstallAndStartLauncher(options));
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Setup executable started successfully\n");
    EXPECT_GE(pauses, 3);
    if (let_go) {
      EXPECT_EQ(err, "");
      EXPECT_TRUE(Read(kLauncherName) == launcher);
    } else {
      CloseHandle(held);
      // A replacing move is refused as a sharing violation or, under Wine,
      // as access denied.
      const std::string shared = Win32ErrorText(ERROR_SHARING_VIOLATION);
      const std::string lines = "Failed to delete existing file: " + shared +
                                "\nFailed to copy file: ";
      EXPECT_TRUE(err == lines + shared + "\n" ||
                  err == lines + Win32ErrorText(ERROR_ACCESS_DENIED) + "\n")
          << err;
      EXPECT_TRUE(Read(kLauncherName) == launcher + "an older one");
    }
    EXPECT_EQ(WaitForContent("ran.txt", kRanOnce), kRanOnce);
    fs::remove("ran.txt");
  }
}
#endif

#ifdef _WIN32
// The shell's taskbar list, recording the progress calls made to it.
class RecordedTaskbarList : public ITaskbarList3 {
 public:
  std::vector<std::string> calls;
  HRESULT answer = S_OK;  // of the progress calls
  ULONG references = 1;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
  HRESULT STDMETHODCALLTYPE HrInit() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE AddTab(HWND) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DeleteTab(HWND) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ActivateTab(HWND) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetActiveAlt(HWND) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE MarkFullscreenWindow(HWND, BOOL) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SetProgressValue(HWND, ULONGLONG done,
                                             ULONGLONG total) override {
    calls.push_back("value " + std::to_string(done) + "/" +
                    std::to_string(total));
    return answer;
  }
  HRESULT STDMETHODCALLTYPE SetProgressState(HWND, TBPFLAG flag) override {
    calls.push_back(flag == TBPF_NORMAL          ? "normal"
                    : flag == TBPF_ERROR         ? "error"
                    : flag == TBPF_INDETERMINATE ? "indeterminate"
                                                 : "other");
    return answer;
  }
  HRESULT STDMETHODCALLTYPE RegisterTab(HWND, HWND) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE UnregisterTab(HWND) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetTabOrder(HWND, HWND) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SetTabActive(HWND, HWND, DWORD) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE ThumbBarAddButtons(HWND, UINT,
                                               LPTHUMBBUTTON) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE ThumbBarUpdateButtons(HWND, UINT,
                                                  LPTHUMBBUTTON) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE ThumbBarSetImageList(HWND, HIMAGELIST) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SetOverlayIcon(HWND, HICON, LPCWSTR) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SetThumbnailTooltip(HWND, LPCWSTR) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SetThumbnailClip(HWND, RECT*) override {
    return E_NOTIMPL;
  }
};

// What a download shows on the taskbar button: its percentage, a retry
// pause in the error state, moving without a length; nothing twice, and
// again what the shell refused (before the button exists, say).
TEST(Taskbar, ShowsEachChangeOnceAndRetriesWhatWasRefused) {
  RecordedTaskbarList list;
  {
    std::unique_ptr<ui::Taskbar> taskbar = ui::TaskbarThrough(&list, nullptr);
    EXPECT_EQ(list.references, 2u);
    list.answer = E_FAIL;
    taskbar->Show(ui::TaskbarState::kNormal, 0);
    list.answer = S_OK;
    taskbar->Show(ui::TaskbarState::kNormal, 0);
    taskbar->Show(ui::TaskbarState::kNormal, 40);
    taskbar->Show(ui::TaskbarState::kNormal, 40);
    taskbar->Show(ui::TaskbarState::kError, 40);
    taskbar->Show(ui::TaskbarState::kNormal, 0);
    taskbar->Show(ui::TaskbarState::kIndeterminate, 0);
    taskbar->Show(ui::TaskbarState::kIndeterminate, 0);
  }
  EXPECT_EQ(list.references, 1u);
  EXPECT_EQ(list.calls, (std::vector<std::string>{
                            "normal", "value 0/100", "normal", "value 0/100",
                            "value 40/100", "error", "value 40/100", "normal",
                            "value 0/100", "indeterminate"}));
}

using DllSearch = ScratchDir;

// A DLL that lies beside the program and in the working folder, but not in
// System32, is never loaded: not through SystemFunction, and once the
// process is prepared, not when loaded by name as system DLLs do.
TEST_F(DllSearch, OnlyTheSystemFolderIsSearched) {
  std::wstring self(MAX_PATH * 2, L'\0');
  self.resize(GetModuleFileNameW(nullptr, self.data(),
                                 static_cast<DWORD>(self.size())));
  const fs::path beside = fs::path(self).parent_path();
  const wchar_t kPlanted[] = L"talvoro-planted.dll";
  std::error_code kept;  // a copy that was loaded stays until the exit
  for (const fs::path& folder : {beside, fs::current_path()}) {
    fs::remove(folder / kPlanted, kept);
    fs::copy_file(beside / "planted-dlls" / "version.dll", folder / kPlanted);
  }
  Result<void*> planted = SystemFunction(kPlanted, "DllMain");
  ASSERT_FALSE(planted.ok());
  EXPECT_EQ(planted.error().message.rfind(
                "cannot load talvoro-planted.dll from the system folder: ", 0),
            0u)
      << planted.error().message;
  PrepareProcess();
  HMODULE by_name = LoadLibraryW(kPlanted);
  EXPECT_EQ(by_name, nullptr);
  if (by_name != nullptr) FreeLibrary(by_name);
  fs::remove(beside / kPlanted, kept);

  auto ticks = SystemFunctionOf<decltype(&GetTickCount64)>(L"kernel32.dll",
                                                           "GetTickCount64");
  ASSERT_TRUE(ticks.ok()) << ticks.error().message;
  EXPECT_GT((*ticks)(), 0u);
  Result<void*> missing = SystemFunction(L"kernel32.dll", "NoSuchFunction");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().message.rfind(
                "kernel32.dll has no function NoSuchFunction: ", 0),
            0u)
      << missing.error().message;
}
#endif

TEST_F(HandOff, PathsFollowTheCurrentDirectory) {
  EXPECT_EQ(PathInCurrentDir(kLauncherName),
            testing::Utf8Path(fs::current_path() / kLauncherName));
}

// A reporter that keeps what it is given.
struct KeptLines : Reporter {
  std::string lines;
  void Line(Stream stream, std::string_view line) override {
    lines += (stream == Stream::kOut ? "out " : "err ") + std::string(line);
  }
  void Detail(std::string_view) override {}
};

class LogTest : public ::testing::Test {
 protected:
  std::vector<std::string> Lines(const std::string& name) {
    std::ifstream in(testing::FsPath(folder_ + name), std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  testing::ScratchDir dir_{"log-test"};
  // Two levels that do not exist yet.
  const std::string folder_ =
      dir_.File("state") + kPathSeparator + "corvadelin" + kPathSeparator;
};

// The lines go to the console byte for byte, and with the details to the
// log, each stamped with the UTC time and the process id; credentials in a
// URL never reach the log.
TEST_F(LogTest, ReporterFeedsConsoleAndLogWithoutCredentials) {
  Result<std::unique_ptr<Log>> log = Log::Open(folder_);
  ASSERT_TRUE(log.ok()) << log.error().message;
  KeptLines console;
  {
    ProgramReporter reporter(console, std::move(log).value());
    reporter.Line(Stream::kOut, "下载成功\n");
    reporter.Line(Stream::kErr,
                  "下载失败: proxy http://ann:s3cret@p:8080/ refused\n");
    reporter.Detail("proxy: https://bob:hunter2@[::1]:3128 two\nlines");
    reporter.Detail("answer: HTTP/1.1 200 \xff");
  }
  EXPECT_EQ(console.lines,
            "out 下载成功\nerr 下载失败: proxy http://ann:s3cret@p:8080/ "
            "refused\n");
  const std::vector<std::string> lines = Lines(kLogName);
  ASSERT_EQ(lines.size(), 4u);
  const std::regex stamp(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z \d+ .*)");
  for (const std::string& line : lines) {
    EXPECT_TRUE(std::regex_match(line, stamp)) << line;
    EXPECT_EQ(line.find("s3cret"), std::string::npos) << line;
    EXPECT_EQ(line.find("hunter2"), std::string::npos) << line;
  }
  EXPECT_TRUE(lines[0].ends_with(" 下载成功"));
  EXPECT_TRUE(lines[1].ends_with(" 下载失败: proxy http://p:8080/ refused"));
  EXPECT_TRUE(lines[2].ends_with(" proxy: https://[::1]:3128 two lines"));
  // The log stays UTF-8 whatever a server sent.
  EXPECT_TRUE(lines[3].ends_with(" answer: HTTP/1.1 200 \xEF\xBF\xBD"));
}

// Past 1 MiB the log becomes bootstrap.1.log (replacing an older one) and
// a new one starts; two writers on the same folder (two copies of the
// program) keep every line whole, and the second writer does not rotate
// the new log again.
TEST_F(LogTest, RotatesAtOneMebibyteAndKeepsLinesWhole) {
  Result<std::unique_ptr<Log>> a = Log::Open(folder_);
  Result<std::unique_ptr<Log>> b = Log::Open(folder_);
  ASSERT_TRUE(a.ok() && b.ok());
  std::ofstream(testing::FsPath(folder_ + kOldLogName)) << "older\n";
  const std::string payload(1000, 'x');
  int written = 0;
  while (fs::exists(testing::FsPath(folder_ + kOldLogName)) &&
         Lines(kOldLogName).size() == 1 && written < 2000) {
    (written % 2 ? *a : *b)->Write(payload);
    ++written;
  }
  const std::vector<std::string> old = Lines(kOldLogName);
  ASSERT_GT(old.size(), 1000u);
  EXPECT_GE(fs::file_size(testing::FsPath(folder_ + kOldLogName)),
            kLogRotateBytes);
  for (int i = 0; i < 20; ++i) (i % 2 ? *a : *b)->Write(payload);
  const std::vector<std::string> fresh = Lines(kLogName);
  // The write that found the log full, then the twenty.
  EXPECT_EQ(fresh.size(), 21u);
  EXPECT_EQ(Lines(kOldLogName).size(), old.size());  // not rotated again
  for (const auto* lines : {&old, &fresh}) {
    for (const std::string& line : *lines) {
      EXPECT_TRUE(line.ends_with(" " + payload)) << line.substr(0, 60);
    }
  }
}

TEST_F(LogTest, FolderThatCannotBeMadeIsAnError) {
  std::ofstream(testing::FsPath(dir_.File("state"))) << "a file";
  Result<std::unique_ptr<Log>> log = Log::Open(folder_);
  ASSERT_FALSE(log.ok());
  EXPECT_NE(log.error().message.find("state"), std::string::npos)
      << log.error().message;
}

}  // namespace
}  // namespace talvoro
