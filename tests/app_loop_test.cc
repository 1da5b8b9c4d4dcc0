// The poll loop and the download task together, as the program runs them:
// the main thread polls one shared DownloadStatus with the real poll step,
// whose actions start real download tasks on the engine's executor against
// a scripted TLS server on loopback, delete the real working files and hand
// the verified file to the real launcher start. Only the retry pause is
// shortened. Run under ThreadSanitizer, this is where the main thread and
// the download's worker meet.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "download/connection.h"
#include "download/crc64.h"
#include "download/download.h"
#include "download/http.h"
#include "main/app.h"
#include "main/handoff.h"
#include "test_pki.h"
#include "tls_test_server.h"

namespace talvoro {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::steady_clock;
using testing::ConnectionScript;
using testing::MakeTempDir;
using testing::PkiFile;
using testing::ResponseHead;
using testing::TlsTestServer;

constexpr char kPath[] = "/Download/Micro/TalvoroLauncher.exe";
// A server that stops answering fails an attempt within seconds.
const DownloadOptions kOptions{
    .connection = {.connect_timeout = std::chrono::seconds(10),
                   .idle_timeout = std::chrono::seconds(10)}};
// Stands in for kRetryPause, so that a run with several retries is short.
constexpr milliseconds kShortPause{50};
// Between two polls (the window's loop ticks every 16 ms).
constexpr milliseconds kPollInterval{5};
// Bounds on one run, generous for sanitizer builds.
constexpr auto kRunLimit = std::chrono::seconds(60);
constexpr int kMaxPolls = 20000;
// The file: several body chunks, and several write buffers.
constexpr size_t kFileSize = 600 * 1024;

// A launcher that leaves a mark in the current folder and ends, followed
// by bytes that differ at every position a chunk or a cut could fall on;
// `size` bytes in all. The shell never reads past its "exit".
std::string LauncherBytes(size_t size) {
  std::string data = "#!/bin/sh\necho started >> ran.txt\nexit 0\n";
  for (size_t i = data.size(); i < size; ++i) {
    data.push_back(static_cast<char>('!' + (i * 131 + i / 251) % 90));
  }
  return data;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class PollLoopTest : public ::testing::Test {
 protected:
  PollLoopTest()
      : server_(PkiFile("localhost.pem"), PkiFile("localhost.key")),
        url_("https://localhost:" + std::to_string(server_.port()) + kPath),
        file_(LauncherBytes(kFileSize)),
        crc_(Crc64Update(0, file_.data(), file_.size())) {}

  void SetUp() override {
    old_dir_ = fs::current_path();
    dir_ = MakeTempDir();
    fs::current_path(dir_);
    folder_ = PathInCurrentDir("");
  }

  void TearDown() override {
    // A run cut short by a failed expectation may leave its last task
    // running; it ends with an error once the server is gone, at the
    // latest after the time-outs.
    for (int i = 0; i < 3000 && status_->Read().phase == Phase::kDownloading;
         ++i) {
      std::this_thread::sleep_for(milliseconds(10));
    }
    fs::current_path(old_dir_);
    fs::remove_all(dir_);
  }

  // Answers to the HEAD request: the file's length, `etag` and `crc`.
  void Head(const std::string& etag, uint64_t crc) {
    ConnectionScript script;
    script.response = ResponseHead(
        "HTTP/1.1 200 OK",
        {"Content-Length: " + std::to_string(file_.size()), "ETag: " + etag,
         "x-oss-hash-crc64ecma: " + std::to_string(crc)});
    server_.AddScript(script);
  }
  // Answers a GET with the file from `offset`, the connection closed after
  // `cut` bytes of the body.
  void Get(size_t offset, size_t cut = std::string::npos) {
    ConnectionScript script;
    std::vector<std::string> headers = {"Content-Length: " +
                                        std::to_string(file_.size() - offset)};
    if (offset > 0) {
      headers.push_back("Content-Range: bytes " + std::to_string(offset) + "-" +
                        std::to_string(file_.size() - 1) + "/" +
                        std::to_string(file_.size()));
    }
    script.response = ResponseHead(
        offset == 0 ? "HTTP/1.1 200 OK" : "HTTP/1.1 206 Partial Content",
        headers);
    if (cut != std::string::npos) {
      script.cut_after = script.response.size() + cut;
    }
    script.response += file_.substr(offset);
    // In pieces, so that the main thread polls while the body arrives.
    script.piece_size = 64 * 1024;
    script.pause = milliseconds(2);
    server_.AddScript(script);
  }
  // Answers a GET with `status` and no body, the header lines `extra` too.
  void GetError(const std::string& status,
                std::vector<std::string> extra = {}) {
    ConnectionScript script;
    extra.push_back("Content-Length: 0");
    script.response = ResponseHead(status, extra);
    server_.AddScript(script);
  }

  std::string GetRequest(uint64_t offset, std::string_view etag = {}) const {
    return BuildGetRequest("localhost:" + std::to_string(server_.port()), kPath,
                           offset, etag);
  }

  // Runs the program's loop: one download task started, then the poll
  // step every kPollInterval until the hand-off (or the bounds). Every
  // action is logged in order. Returns whether the hand-off came.
  bool RunLoop() {
    bool done = false;
    milliseconds skipped{0};
    const PollActions actions{
        .set_bar =
            [&](int value) { log_.push_back("bar " + std::to_string(value)); },
        .start_download =
            [&] {
              log_.push_back("start");
              StartDownloadTask(url_, folder_, status_, kOptions);
            },
        .clean_up =
            [&] {
              log_.push_back("clean");
              CleanUpDownload();
              EXPECT_FALSE(fs::exists(kTargetFileName));
              EXPECT_FALSE(fs::exists(kEtagFileName));
            },
        // The poll step's clock skips all but kShortPause of each pause.
        .pause =
            [&](milliseconds ms) {
              if (ms.count() == 0) return;
              log_.push_back("pause");
              pauses_.push_back(ms);
              EXPECT_LE(ms, kMaxRetryPause);
              if (ms > kShortPause) skipped += ms - kShortPause;
            },
        .hand_off =
            [&] {
              log_.push_back("handoff");
              handed_off_ = ReadFile(kTargetFileName);
              InstallAndStartLauncher();
              done = true;
            },
        .show_status = [&](const std::string& line) { shown_.push_back(line); },
    };
    PollState state;
    StartDownloadTask(url_, folder_, status_, kOptions);
    const auto deadline = steady_clock::now() + kRunLimit;
    for (int poll = 0;
         poll < kMaxPolls && !done && steady_clock::now() < deadline; ++poll) {
      PollStep(*status_, state, actions, steady_clock::now() + skipped);
      std::this_thread::sleep_for(kPollInterval);
    }
    return done;
  }

  // The log without the bar.
  std::vector<std::string> Steps() const {
    std::vector<std::string> steps;
    for (const std::string& entry : log_) {
      if (entry.rfind("bar ", 0) != 0) steps.push_back(entry);
    }
    return steps;
  }

  // The bar values logged after the first `from` entries of Steps() and
  // before its entry `to`.
  std::vector<int> BarsBetween(size_t from, size_t to) const {
    std::vector<int> bars;
    size_t steps = 0;
    for (const std::string& entry : log_) {
      if (entry.rfind("bar ", 0) != 0) {
        ++steps;
      } else if (steps >= from && steps <= to) {
        bars.push_back(std::stoi(entry.substr(4)));
      }
    }
    return bars;
  }

  // Waits (bounded) for the started launcher's mark.
  static bool LauncherRan() {
    for (int i = 0; i < 500 && !fs::exists("ran.txt"); ++i) {
      std::this_thread::sleep_for(milliseconds(10));
    }
    return fs::exists("ran.txt");
  }

  TlsTestServer server_;
  const std::string url_;
  const std::string file_;
  const uint64_t crc_;
  fs::path old_dir_;
  std::string dir_;
  std::string folder_;
  DownloadStatusRef status_ = std::make_shared<DownloadStatus>();
  std::vector<std::string> log_;
  std::vector<milliseconds> pauses_;
  // The status lines as shown, in order.
  std::vector<std::string> shown_;
  std::string handed_off_;
};

// The first status line of each pause (a line after none).
std::vector<std::string> PauseLines(const std::vector<std::string>& shown) {
  std::vector<std::string> lines;
  for (size_t i = 0; i < shown.size(); ++i) {
    if (!shown[i].empty() && (i == 0 || shown[i - 1].empty())) {
      lines.push_back(shown[i]);
    }
  }
  return lines;
}

// A cut body is resumed; a failed status throws the partial file away and
// starts over after the pause; a wrong CRC throws the whole file away and
// starts over after a longer one; the next verified file is handed off.
TEST_F(PollLoopTest, EachOutcomeInTurnThenHandOff) {
  const size_t cut = file_.size() * 2 / 5;
  Head("\"v1\"", crc_);
  Get(0, cut);
  Head("\"v1\"", crc_);
  GetError("HTTP/1.1 404 Not Found");
  Head("\"v1\"", crc_ ^ 1);
  Get(0);
  Head("\"v1\"", crc_);
  Get(0);

  ASSERT_TRUE(RunLoop()) << "no hand-off; server saw "
                         << server_.requests().size() << " requests";
  // interrupted: pause, resume; failed: clean, pause, start;
  // checksum failed: clean, start at once; verified: hand-off.
  // Each failure pauses longer (the wrong CRC is the third in a row).
  EXPECT_EQ(Steps(), (std::vector<std::string>{"pause", "start", "clean",
                                               "pause", "start", "clean",
                                               "pause", "start", "handoff"}));
  // The second attempt resumed from the cut; the clean-ups made the third
  // and fourth start from 0 although the ETag stayed the same.
  std::vector<std::string> requests = server_.requests();
  ASSERT_EQ(requests.size(), 8u);
  EXPECT_EQ(requests[1], GetRequest(0));
  EXPECT_EQ(requests[3], GetRequest(cut, "\"v1\""));
  EXPECT_EQ(requests[5], GetRequest(0));
  EXPECT_EQ(requests[7], GetRequest(0));

  // Up to the server error the bar never goes back and never shows more
  // than the bytes on disk; the error's clean-up empties it.
  const int cut_percent = static_cast<int>(cut * 100 / file_.size());
  std::vector<int> before_error = BarsBetween(0, 2);
  EXPECT_TRUE(std::is_sorted(before_error.begin(), before_error.end()));
  for (int value : before_error) EXPECT_LE(value, cut_percent);
  std::vector<int> after_error = BarsBetween(4, 5);
  ASSERT_FALSE(after_error.empty());
  EXPECT_EQ(after_error.front(), 0);
  std::vector<int> after_mismatch = BarsBetween(7, 8);
  ASSERT_FALSE(after_mismatch.empty());
  EXPECT_EQ(after_mismatch.front(), 0);
  EXPECT_EQ(after_mismatch.back(), 100);

  // Each pause says why, and the line goes when the next attempt starts.
  std::vector<std::string> lines = PauseLines(shown_);
  ASSERT_EQ(lines.size(), 3u) << ::testing::PrintToString(shown_);
  EXPECT_TRUE(
      lines[0].starts_with("Can't reach the download server. "
                           "Retrying in "))
      << lines[0];
  EXPECT_TRUE(lines[1].ends_with(" s.")) << lines[1];
  EXPECT_EQ(lines[2], "The file arrived damaged. Downloading again in 2 s.");
  EXPECT_EQ(shown_.back(), "");

  EXPECT_EQ(handed_off_, file_);
  EXPECT_EQ(status_->Read().phase, Phase::kHandOff);
  ASSERT_TRUE(LauncherRan());
  EXPECT_EQ(ReadFile(kLauncherName), file_);
  EXPECT_EQ(ReadFile(kEtagFileName), "\"v1\"");
}

// A busy server (503) after a cut keeps the partial file and its ETag: the
// next attempt resumes from the cut, no earlier than the server asked, and
// the file comes once in all.
TEST_F(PollLoopTest, BusyServerAfterACutKeepsThePartial) {
  const size_t cut = file_.size() / 3;
  Head("\"v1\"", crc_);
  Get(0, cut);
  Head("\"v1\"", crc_);
  GetError("HTTP/1.1 503 Service Unavailable", {"Retry-After: 7"});
  Head("\"v1\"", crc_);
  Get(cut);

  ASSERT_TRUE(RunLoop());
  EXPECT_EQ(Steps(), (std::vector<std::string>{"pause", "start", "pause",
                                               "start", "handoff"}));
  ASSERT_EQ(pauses_.size(), 2u);
  EXPECT_GE(pauses_[1], milliseconds(7000));
  std::vector<std::string> requests = server_.requests();
  ASSERT_EQ(requests.size(), 6u);
  EXPECT_EQ(requests[3], GetRequest(cut, "\"v1\""));
  EXPECT_EQ(requests[5], GetRequest(cut, "\"v1\""));
  EXPECT_EQ(handed_off_, file_);
}

// Two cuts in a row: each attempt resumes from the bytes on disk, the bar
// never goes back, and the file handed off is the server's byte for byte.
TEST_F(PollLoopTest, CutTwiceThenTheStitchedFileIsHandedOff) {
  const size_t first = file_.size() / 4 + 3;
  const size_t second = file_.size() * 3 / 4 + 5;
  Head("\"v2\"", crc_);
  Get(0, first);
  Head("\"v2\"", crc_);
  Get(first, second - first);
  Head("\"v2\"", crc_);
  Get(second);

  ASSERT_TRUE(RunLoop());
  EXPECT_EQ(Steps(), (std::vector<std::string>{"pause", "start", "pause",
                                               "start", "handoff"}));
  std::vector<std::string> requests = server_.requests();
  ASSERT_EQ(requests.size(), 6u);
  EXPECT_EQ(requests[1], GetRequest(0));
  EXPECT_EQ(requests[3], GetRequest(first, "\"v2\""));
  EXPECT_EQ(requests[5], GetRequest(second, "\"v2\""));

  std::vector<int> bars = BarsBetween(0, 4);
  EXPECT_TRUE(std::is_sorted(bars.begin(), bars.end()));
  ASSERT_FALSE(bars.empty());
  EXPECT_EQ(bars.back(), 100);
  EXPECT_EQ(handed_off_, file_);
  ASSERT_TRUE(LauncherRan());
  EXPECT_EQ(ReadFile(kLauncherName), file_);
}

}  // namespace
}  // namespace talvoro
