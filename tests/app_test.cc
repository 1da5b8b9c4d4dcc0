// The poll step's reactions to each phase, and the bootstrap's own file
// operations (clean-up, launcher hand-off) in a scratch folder.
#include "main/app.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "main/handoff.h"
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

  // The jitter shortens every pause but the first by up to a fifth.
  Poller jittered;
  jittered.random = 0.999;
  std::vector<int64_t> seen = pauses(jittered, Phase::kDownloadFailed, 4);
  EXPECT_EQ(seen[0], 3000);
  for (size_t i = 1; i < seen.size(); ++i) {
    const int64_t base = 3000 << i;
    EXPECT_GT(seen[i], base * 8 / 10 - 1);
    EXPECT_LT(seen[i], base * 81 / 100);
  }
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

TEST_F(HandOff, MissingDownloadLeavesNoPartialLauncher) {
  Write(kLauncherName, "an older launcher");
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  InstallAndStartLauncher();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Failed to copy file: " + MissingFileText() +
                "\nFailed to start setup executable: " + MissingFileText() +
                "\n");
  EXPECT_FALSE(fs::exists(kLauncherName));
  EXPECT_FALSE(fs::exists(kLauncherTempName));
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

}  // namespace
}  // namespace talvoro
