#include "download/download.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "download/connection.h"
#include "download/http.h"
#include "main/working_files.h"
#include "test_pki.h"
#include "tls_test_server.h"

namespace talvoro {
namespace {

using testing::ConnectionScript;
using testing::MakeTempDir;
using testing::PkiFile;
using testing::ResponseHead;
using testing::RunEngine;
using testing::TlsTestServer;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream data;
  data << in.rdbuf();
  return data.str();
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

// Bytes that differ at every position a block boundary could fall on.
std::string Content(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) {
    data[i] = static_cast<char>((i * 131 + i / 251) & 0xff);
  }
  return data;
}

struct Outcome {
  Status status;
  std::string out;
  std::optional<uint64_t> crc;
  DownloadStatus::Snapshot snapshot{};
};

class DownloadTest : public ::testing::Test {
 protected:
  DownloadTest()
      : server_(PkiFile("localhost.pem"), PkiFile("localhost.key")),
        dir_(MakeTempDir()),
        target_(dir_ + "/" + kTargetFileName),
        sidecar_(dir_ + "/" + kEtagFileName),
        url_("https://localhost:" + std::to_string(server_.port()) +
             "/Download/Micro/TalvoroLauncher.exe") {}
  ~DownloadTest() override { std::filesystem::remove_all(dir_); }

  // A HEAD answer with the given headers.
  void Head(const std::vector<std::string>& headers) {
    ConnectionScript script;
    script.response = ResponseHead("HTTP/1.1 200 OK", headers);
    server_.AddScript(script);
  }
  // A GET answer with `status_line`, cut after `cut` bytes of the body.
  void Get(const std::string& status_line, const std::string& body,
           size_t cut = std::string::npos,
           std::vector<std::string> headers = {"Server: test"}) {
    ConnectionScript script;
    script.response = ResponseHead(status_line, headers);
    if (cut != std::string::npos)
      script.cut_after = script.response.size() + cut;
    script.response += body;
    server_.AddScript(script);
  }
  // A 206 answer with the part of `file` from `from` on, and the
  // Content-Range that says so.
  void Partial(const std::string& file, size_t from,
               size_t cut = std::string::npos) {
    Get("HTTP/1.1 206 Partial Content", file.substr(from), cut,
        {"Content-Range: bytes " + std::to_string(from) + "-" +
         std::to_string(file.size() - 1) + "/" + std::to_string(file.size())});
  }

  Outcome Run(uint8_t initial_percent = 0,
              const DownloadOptions& options = {}) {
    Outcome outcome;
    auto status = std::make_shared<DownloadStatus>();
    status->SetProgress(initial_percent);
    status->SetPhase(Phase::kDownloadFailed);
    ::testing::internal::CaptureStdout();
    Result<std::optional<uint64_t>> crc =
        RunEngine(Download(url_, target_, sidecar_, status, options));
    if (crc.ok()) {
      outcome.crc = *crc;
    } else {
      outcome.status = std::move(crc).error();
    }
    outcome.out = ::testing::internal::GetCapturedStdout();
    outcome.snapshot = status->Read();
    return outcome;
  }

  std::string GetRequest(uint64_t offset,
                         std::string_view if_range = {}) const {
    return BuildGetRequest(Host(), "/Download/Micro/TalvoroLauncher.exe",
                           offset, if_range);
  }
  // The Host header of the requests to the test server: its port too.
  std::string Host() const {
    return "localhost:" + std::to_string(server_.port());
  }

  TlsTestServer server_;
  std::string dir_;
  std::string target_;
  std::string sidecar_;
  std::string url_;
};

TEST_F(DownloadTest, NoSidecarStartsOver) {
  WriteFile(target_, "stale bytes of an older file");
  Head({"Content-Length: 11", "ETag: \"v1\"", "x-oss-hash-crc64ecma: 5"});
  Get("HTTP/1.1 200 OK", "hello world");
  Outcome o = Run();
  ASSERT_TRUE(o.status.ok()) << o.status.error().message;
  EXPECT_EQ(o.out,
            "响应头中的 Content-Length: 11 字节\n"
            "ETag 不匹配，重新下载文件\n"
            "新的 ETag: \"v1\"\n"
            "CRC64 : 5\n"
            "当前文件大小: 0 字节\n"
            "下载完成！\n");
  EXPECT_EQ(o.crc, 5u);
  EXPECT_EQ(ReadFile(target_), "hello world");
  EXPECT_EQ(ReadFile(sidecar_), "\"v1\"");
  EXPECT_EQ(o.snapshot.phase, Phase::kDownloading);
  EXPECT_EQ(o.snapshot.percent, 100);
  ASSERT_EQ(server_.requests().size(), 2u);
  EXPECT_EQ(server_.requests()[1], GetRequest(0));
}

// Kept reports: the lines as the standard streams would show them, and the
// details the log gets.
struct KeptReports : Reporter {
  std::string lines;
  std::vector<std::string> details;
  void Line(Stream stream, std::string_view line) override {
    EXPECT_EQ(stream, Stream::kOut);
    lines += line;
  }
  void Detail(std::string_view text) override { details.emplace_back(text); }
};

// With a reporter, nothing goes to the standard streams: the same lines go
// to it, with each request, each answer's status line and the body's
// offset, size and time as details; a query (which may hold a token) is
// not among them.
TEST_F(DownloadTest, ReportsLinesAndDetailsThroughTheReporter) {
  WriteFile(target_, "hello");
  WriteFile(sidecar_, "\"v1\"");
  Head({"Content-Length: 11", "ETag: \"v1\"", "x-oss-hash-crc64ecma: 5"});
  Partial("hello world", 5);
  KeptReports kept;
  DownloadOptions options;
  options.connection.reporter = &kept;
  url_ += "?token=s3cret";
  Outcome o = Run(0, options);
  ASSERT_TRUE(o.status.ok()) << o.status.error().message;
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(kept.lines,
            "ETag: \"v1\"\n"
            "响应头中的 Content-Length: 11 字节\n"
            "ETag 匹配，继续下载文件\n"
            "CRC64 : 5\n"
            "当前文件大小: 5 字节\n"
            "下载完成！\n");
  const std::string origin =
      "https://localhost:" + std::to_string(server_.port()) +
      "/Download/Micro/TalvoroLauncher.exe";
  // Each connection's way (no proxy) comes first; the rest in order.
  const auto proxy = std::remove(kept.details.begin(), kept.details.end(),
                                 std::string("connection: direct"));
  EXPECT_EQ(kept.details.end() - proxy, 2);
  kept.details.erase(proxy, kept.details.end());
  ASSERT_EQ(kept.details.size(), 5u) << ::testing::PrintToString(kept.details);
  EXPECT_EQ(kept.details[0], "request: HEAD " + origin);
  EXPECT_EQ(kept.details[1], "answer: HTTP/1.1 200 OK");
  EXPECT_EQ(kept.details[2], "request: GET " + origin + " from byte 5");
  EXPECT_EQ(kept.details[3], "answer: HTTP/1.1 206 Partial Content");
  EXPECT_TRUE(kept.details[4].starts_with("body: from byte 5, 6 bytes in "))
      << kept.details[4];
  EXPECT_EQ(ReadFile(target_), "hello world");
}

TEST_F(DownloadTest, EmptyEtagNeverMatches) {
  WriteFile(sidecar_, "");
  WriteFile(target_, "abc");
  Head({"Content-Length: 3", "ETag:  "});
  Get("HTTP/1.1 200 OK", "xyz");
  Outcome o = Run();
  ASSERT_TRUE(o.status.ok()) << o.status.error().message;
  EXPECT_EQ(o.out,
            "ETag: \n"
            "响应头中的 Content-Length: 3 字节\n"
            "ETag 不匹配，重新下载文件\n"
            "新的 ETag: \n"
            "当前文件大小: 0 字节\n"
            "下载完成！\n");
  EXPECT_EQ(ReadFile(target_), "xyz");
  EXPECT_EQ(server_.requests()[1], GetRequest(0));
}

TEST_F(DownloadTest, CompleteFileNeedsNoGet) {
  WriteFile(sidecar_, "\"v1\"");
  WriteFile(target_, "hello world");
  Head({"ETag: \"v1\"", "Content-Length: 11"});
  Outcome o = Run(42);
  ASSERT_TRUE(o.status.ok()) << o.status.error().message;
  EXPECT_EQ(o.out,
            "ETag: \"v1\"\n"
            "ETag 匹配，继续下载文件\n"
            "响应头中的 Content-Length: 11 字节\n"
            "当前文件大小: 11 字节\n"
            "文件已下载完成，无需继续下载。\n");
  EXPECT_EQ(server_.accepted(), 1);
  EXPECT_EQ(o.snapshot.percent, 42);
  EXPECT_EQ(ReadFile(target_), "hello world");
}

TEST_F(DownloadTest, ResumesAPartialFile) {
  const std::string file = Content(2000);
  WriteFile(sidecar_, "\"v1\"");
  WriteFile(target_, file.substr(0, 1000));
  Head({"Content-Length: 2000", "ETag: \"v1\""});
  Partial(file, 1000);
  Outcome o = Run();
  ASSERT_TRUE(o.status.ok()) << o.status.error().message;
  EXPECT_EQ(ReadFile(target_), file);
  EXPECT_EQ(server_.requests()[1], GetRequest(1000, "\"v1\""));
  EXPECT_NE(o.out.find("当前文件大小: 1000 字节\n"), std::string::npos);
  EXPECT_EQ(ReadFile(sidecar_), "\"v1\"");
}

TEST_F(DownloadTest, PercentageCountsEarlierBytesAndEarlyEndFails) {
  const std::string file = Content(10000);
  WriteFile(sidecar_, "e");
  WriteFile(target_, file.substr(0, 5000));
  Head({"Content-Length: 10000", "ETag: e"});
  Partial(file, 5000, 1000);
  Outcome o = Run();
  ASSERT_FALSE(o.status.ok());
  EXPECT_EQ(o.status.error().message,
            "connection closed before the whole file arrived");
  EXPECT_EQ(o.status.error().kind, ErrorKind::kNetwork);
  EXPECT_EQ(o.snapshot.percent, 60);
  EXPECT_EQ(ReadFile(target_), file.substr(0, 6000));
  EXPECT_EQ(o.out.find("下载完成"), std::string::npos);
}

TEST_F(DownloadTest, TargetLongerThanTheFile) {
  WriteFile(sidecar_, "e");
  WriteFile(target_, std::string(150, 'x'));
  Head({"Content-Length: 100", "ETag: e"});
  Get("HTTP/1.1 416 Requested Range Not Satisfiable", "");
  Outcome o = Run();
  ASSERT_FALSE(o.status.ok());
  EXPECT_EQ(
      o.status.error().message,
      "HTTP 请求失败，响应: HTTP/1.1 416 Requested Range Not Satisfiable");
  EXPECT_EQ(o.status.error().kind, ErrorKind::kProtocol);
  EXPECT_EQ(server_.requests()[1], GetRequest(150, "e"));
  EXPECT_EQ(ReadFile(target_), std::string(150, 'x'));
}

// A body longer than announced is read up to the announced end only, from
// the start or from a resumed offset; the bytes past it never reach the
// file.
TEST_F(DownloadTest, BodyLongerThanAnnouncedStopsAtTheAnnouncedEnd) {
  const std::string file = Content(30000);
  Head({"Content-Length: 10000", "ETag: e"});
  Get("HTTP/1.1 200 OK", file);
  Outcome o = Run();
  ASSERT_TRUE(o.status.ok()) << o.status.error().message;
  EXPECT_EQ(ReadFile(target_), file.substr(0, 10000));
  EXPECT_EQ(o.snapshot.percent, 100);

  WriteFile(target_, file.substr(0, 4000));
  Head({"Content-Length: 10000", "ETag: e"});
  Get("HTTP/1.1 206 Partial Content", file.substr(4000), std::string::npos,
      {"Content-Range: bytes 4000-9999/10000"});
  o = Run();
  ASSERT_TRUE(o.status.ok()) << o.status.error().message;
  EXPECT_EQ(server_.requests()[3], GetRequest(4000, "e"));
  EXPECT_EQ(ReadFile(target_), file.substr(0, 10000));
}

TEST_F(DownloadTest, WholeFileAnswerToARangeStartsOver) {
  const std::string file = Content(20000);
  WriteFile(sidecar_, "e");
  WriteFile(target_, file.substr(0, 1000));
  Head({"Content-Length: 20000", "ETag: e"});
  Get("HTTP/1.1 200 OK", file);
  Outcome o = Run();
  ASSERT_TRUE(o.status.ok()) << o.status.error().message;
  EXPECT_EQ(server_.requests()[1], GetRequest(1000, "e"));
  EXPECT_EQ(ReadFile(target_), file);
  EXPECT_EQ(o.snapshot.percent, 100);
}

TEST_F(DownloadTest, NoContentLengthKeepsPercentAtZero) {
  const std::string file = Content(20000);
  Head({"ETag: e"});
  Get("HTTP/1.1 200 OK", file);
  Outcome o = Run(7);
  ASSERT_TRUE(o.status.ok()) << o.status.error().message;
  EXPECT_EQ(ReadFile(target_), file);
  EXPECT_EQ(o.snapshot.percent, 0);
  EXPECT_EQ(o.snapshot.phase, Phase::kDownloading);
}

TEST_F(DownloadTest, NoEtagLeavesTheSidecarAndStartsOver) {
  WriteFile(sidecar_, "old");
  WriteFile(target_, "abc");
  Head({"Content-Length: 3"});
  Get("HTTP/1.1 200 OK", "xyz");
  Outcome o = Run();
  ASSERT_TRUE(o.status.ok()) << o.status.error().message;
  EXPECT_EQ(ReadFile(sidecar_), "old");
  EXPECT_EQ(ReadFile(target_), "xyz");
  EXPECT_EQ(server_.requests()[1], GetRequest(0));
}

TEST_F(DownloadTest, EachEtagLineIsActedOn) {
  WriteFile(sidecar_, "a");
  WriteFile(target_, "12345");
  // A match followed by a mismatch: the last one decides.
  Head({"ETag: a", "Content-Length: 10", "ETag: b"});
  Get("HTTP/1.1 200 OK", "0123456789");
  Outcome o = Run();
  ASSERT_TRUE(o.status.ok()) << o.status.error().message;
  EXPECT_EQ(o.out,
            "ETag: a\n"
            "ETag 匹配，继续下载文件\n"
            "响应头中的 Content-Length: 10 字节\n"
            "ETag 不匹配，重新下载文件\n"
            "新的 ETag: b\n"
            "当前文件大小: 0 字节\n"
            "下载完成！\n");
  EXPECT_EQ(ReadFile(sidecar_), "b");
  EXPECT_EQ(ReadFile(target_), "0123456789");
}

TEST_F(DownloadTest, CutAtEveryBlockBoundaryResumesToTheExactFile) {
  const size_t size = 3 * kBodyChunkBytes + 500;
  const std::string file = Content(size);
  const std::string headers[] = {"Content-Length: " + std::to_string(size),
                                 "ETag: \"v7\""};
  const size_t cuts[] = {0,
                         1,
                         kBodyChunkBytes - 1,
                         kBodyChunkBytes,
                         kBodyChunkBytes + 1,
                         2 * kBodyChunkBytes,
                         3 * kBodyChunkBytes,
                         size - 1};
  for (size_t cut : cuts) {
    std::filesystem::remove(target_);
    std::filesystem::remove(sidecar_);
    const size_t before = server_.requests().size();
    Head({headers[0], headers[1]});
    Get("HTTP/1.1 200 OK", file, cut);
    Outcome first = Run();
    ASSERT_FALSE(first.status.ok()) << cut;
    EXPECT_EQ(first.status.error().kind, ErrorKind::kNetwork);
    EXPECT_EQ(ReadFile(target_), file.substr(0, cut)) << cut;

    Head({headers[0], headers[1]});
    if (cut == 0) {
      Get("HTTP/1.1 200 OK", file);
    } else {
      Partial(file, cut);
    }
    Outcome second = Run();
    ASSERT_TRUE(second.status.ok())
        << cut << ": " << second.status.error().message;
    EXPECT_EQ(ReadFile(target_), file) << cut;
    EXPECT_EQ(second.snapshot.percent, 100);
    ASSERT_EQ(server_.requests().size(), before + 4);
    EXPECT_EQ(server_.requests()[before + 3],
              GetRequest(cut, cut > 0 ? "\"v7\"" : ""))
        << cut;
  }
}

TEST_F(DownloadTest, ChangedEtagBetweenRunsStartsOver) {
  const std::string old_file = Content(30000);
  const std::string new_file = Content(25000).replace(0, 5, "fresh");
  Head({"Content-Length: 30000", "ETag: \"old\""});
  Get("HTTP/1.1 200 OK", old_file, 12345);
  Outcome first = Run();
  ASSERT_FALSE(first.status.ok());
  EXPECT_EQ(ReadFile(sidecar_), "\"old\"");

  Head({"Content-Length: 25000", "ETag: \"new\""});
  Get("HTTP/1.1 200 OK", new_file);
  Outcome second = Run();
  ASSERT_TRUE(second.status.ok()) << second.status.error().message;
  EXPECT_EQ(ReadFile(target_), new_file);
  EXPECT_EQ(ReadFile(sidecar_), "\"new\"");
  EXPECT_EQ(server_.requests()[3], GetRequest(0));
  EXPECT_NE(second.out.find("ETag: \"old\"\n"), std::string::npos);
  EXPECT_NE(second.out.find("新的 ETag: \"new\"\n"), std::string::npos);
}

// Whenever the sidecar names the new ETag, the target holds no byte of the
// old file, even when the download stops right after the HEAD exchange.
TEST_F(DownloadTest, NewEtagNeverLabelsOldBytes) {
  WriteFile(sidecar_, "\"old\"");
  WriteFile(target_, Content(5000));
  Head({"Content-Length: 9000", "ETag: \"new\""});
  ConnectionScript refused;
  refused.close_in_handshake = true;
  server_.AddScript(refused);
  Outcome o = Run();
  ASSERT_FALSE(o.status.ok());
  EXPECT_EQ(o.status.error().kind, ErrorKind::kNetwork);
  EXPECT_EQ(ReadFile(sidecar_), "\"new\"");
  EXPECT_EQ(ReadFile(target_), "");
}

TEST_F(DownloadTest, FileAndInputErrors) {
  // The sidecar cannot be written: nothing is downloaded.
  sidecar_ = dir_ + "/missing/" + kEtagFileName;
  Head({"Content-Length: 3", "ETag: e"});
  Outcome o = Run();
  ASSERT_FALSE(o.status.ok());
  EXPECT_EQ(o.status.error().kind, ErrorKind::kFile);
  EXPECT_EQ(o.status.error().message, "No such file or directory (os error 2)");
  EXPECT_EQ(server_.accepted(), 1);

  // The target cannot be opened.
  sidecar_ = dir_ + "/" + kEtagFileName;
  std::filesystem::create_directory(target_);
  Head({"Content-Length: 3", "ETag: e"});
  o = Run();
  ASSERT_FALSE(o.status.ok());
  EXPECT_EQ(o.status.error().kind, ErrorKind::kFile);
  EXPECT_EQ(o.status.error().message, "Is a directory (os error 21)");

  // A sidecar far larger than any ETag is refused before anything is sent.
  std::filesystem::remove(target_);
  WriteFile(sidecar_, std::string(kMaxHeadResponseBytes + 1, 'e'));
  o = Run();
  ASSERT_FALSE(o.status.ok());
  EXPECT_EQ(o.status.error().kind, ErrorKind::kFile);
  EXPECT_EQ(o.status.error().message, "ETag file larger than 65536 bytes");
  EXPECT_EQ(o.out, "");
  std::filesystem::remove(sidecar_);

  url_ = "localhost:1/x";
  o = Run();
  ASSERT_FALSE(o.status.ok());
  EXPECT_EQ(o.status.error().kind, ErrorKind::kInput);
  EXPECT_EQ(o.status.error().message, "Invalid URL format");
  EXPECT_EQ(server_.accepted(), 2);
}

TEST_F(DownloadTest, HeadFailureKeepsEverything) {
  WriteFile(sidecar_, "e");
  WriteFile(target_, "abc");
  ConnectionScript script;
  script.response = "HTTP/1.1 503 Busy\r\n\r\n";
  server_.AddScript(script);
  Outcome o = Run();
  ASSERT_FALSE(o.status.ok());
  EXPECT_EQ(o.status.error().message, "HEAD 请求失败，响应: HTTP/1.1 503 Busy");
  EXPECT_EQ(ReadFile(target_), "abc");
  EXPECT_EQ(ReadFile(sidecar_), "e");
}

// A length that cannot fit on any disk is "not enough free disk space" like
// any other: the sum saturates instead of wrapping, and no GET is sent.
TEST_F(DownloadTest, HugeAnnouncedLengthSendsNoGet) {
  Head({"Content-Length: 9223372036854775808", "ETag: \"big\""});
  Outcome o = Run();
  ASSERT_FALSE(o.status.ok());
  EXPECT_EQ(o.status.error().kind, ErrorKind::kNoSpace);
  EXPECT_EQ(o.status.error().message.rfind(
                "not enough free disk space: 18446744073709551615 bytes "
                "needed, ",
                0),
            0u)
      << o.status.error().message;
  EXPECT_EQ(server_.accepted(), 1);
}

// A refused publication still announced: nothing of the answer is acted on
// (no line, no sidecar, no target) and no GET goes out, until the ETag or
// the CRC changes or the recheck interval has passed.
TEST_F(DownloadTest, RefusedPublicationIsNotDownloadedAgain) {
  DownloadOptions options;
  options.publications = std::make_shared<PublicationMemory>();
  const std::vector<std::string> bad = {"Content-Length: 3", "ETag: \"v1\"",
                                        "x-oss-hash-crc64ecma: 5"};
  Head(bad);
  Get("HTTP/1.1 200 OK", "abc");
  ASSERT_TRUE(Run(0, options).status.ok());
  options.publications->RejectLastDownloaded();
  std::filesystem::remove(target_);
  std::filesystem::remove(sidecar_);

  Head(bad);
  Outcome o = Run(0, options);
  ASSERT_FALSE(o.status.ok());
  EXPECT_EQ(o.status.error().kind, ErrorKind::kRejected);
  EXPECT_EQ(o.status.error().message,
            "the server still announces the file that was refused: "
            "ETag \"v1\", CRC 5, 3 bytes");
  EXPECT_EQ(o.out, "");
  EXPECT_FALSE(std::filesystem::exists(target_));
  EXPECT_FALSE(std::filesystem::exists(sidecar_));
  EXPECT_EQ(server_.accepted(), 3);

  Head({"Content-Length: 3", "ETag: \"v1\"", "x-oss-hash-crc64ecma: 6"});
  Get("HTTP/1.1 200 OK", "abd");
  EXPECT_TRUE(Run(0, options).status.ok());
  EXPECT_EQ(ReadFile(target_), "abd");

  options.recheck_rejected = std::chrono::seconds(0);
  std::filesystem::remove(target_);
  Head(bad);
  Get("HTTP/1.1 200 OK", "abc");
  EXPECT_TRUE(Run(0, options).status.ok());
  EXPECT_EQ(server_.accepted(), 7);
}

// A CRC failure is forgiven once; the second in a row, or a refusal from
// the hand-off, refuses the publication until it changes or the interval
// has passed.
TEST(PublicationMemoryTest, RefusesOnlyTheRejectedOneWithinTheInterval) {
  using Clock = PublicationMemory::Clock;
  const auto t0 = Clock::now();
  const auto ten_minutes = std::chrono::minutes(10);
  const Publication bad{"\"v1\"", 5, 3};
  const Publication other{"\"v2\"", 5, 3};
  PublicationMemory memory;
  memory.NoteCheckFailed(t0);  // nothing downloaded yet
  memory.RejectLastDownloaded(t0);
  EXPECT_FALSE(memory.Refuses(bad, t0, ten_minutes));

  memory.NoteDownloaded(bad);
  memory.NoteCheckFailed(t0);
  EXPECT_FALSE(memory.Refuses(bad, t0, ten_minutes));
  memory.NoteDownloaded(other);  // another file failed in between
  memory.NoteCheckFailed(t0);
  memory.NoteDownloaded(bad);
  memory.NoteCheckFailed(t0);
  EXPECT_FALSE(memory.Refuses(bad, t0, ten_minutes));
  memory.NoteDownloaded(bad);
  memory.NoteCheckFailed(t0);
  EXPECT_TRUE(memory.Refuses(bad, t0 + ten_minutes - std::chrono::seconds(1),
                             ten_minutes));
  EXPECT_FALSE(memory.Refuses(bad, t0 + ten_minutes, ten_minutes));
  for (const Publication& changed :
       {other, Publication{"\"v1\"", 6, 3},
        Publication{"\"v1\"", std::nullopt, 3}, Publication{"\"v1\"", 5, 4}}) {
    EXPECT_FALSE(memory.Refuses(changed, t0, ten_minutes));
  }
  // The recheck fails again: refused again at once.
  memory.NoteDownloaded(bad);
  memory.NoteCheckFailed(t0 + ten_minutes);
  EXPECT_TRUE(memory.Refuses(bad, t0 + ten_minutes, ten_minutes));
  // The hand-off's refusal needs no second failure.
  memory.NoteDownloaded(other);
  memory.RejectLastDownloaded(t0);
  EXPECT_TRUE(memory.Refuses(other, t0, ten_minutes));
  EXPECT_FALSE(memory.Refuses(bad, t0 + ten_minutes, ten_minutes));
  EXPECT_EQ(DescribePublication(Publication{"", std::nullopt, 0}),
            "ETag (none), CRC absent, 0 bytes");
}

// The chunked coding is decoded: sizes in hexadecimal with extensions,
// trailers skipped; the announced length still bounds the decoded bytes. A
// malformed size is a protocol error; a stream cut inside is a network
// failure that keeps the decoded bytes.
TEST_F(DownloadTest, ChunkedBodyIsDecoded) {
  const std::string file = Content(20000);
  const std::string chunked = "2710;name=value\r\n" + file.substr(0, 10000) +
                              "\r\n1F40\r\n" + file.substr(10000, 8000) +
                              "\r\n7d0 \r\n" + file.substr(18000) +
                              "\r\n0\r\nX-Trailer: t\r\n\r\n";
  Head({"Content-Length: 20000", "ETag: e"});
  Get("HTTP/1.1 200 OK", chunked, std::string::npos,
      {"Transfer-Encoding: chunked"});
  Outcome o = Run();
  ASSERT_TRUE(o.status.ok()) << o.status.error().message;
  EXPECT_EQ(ReadFile(target_), file);
  EXPECT_EQ(o.snapshot.percent, 100);

  std::filesystem::remove(sidecar_);
  Head({"Content-Length: 20000", "ETag: e"});
  Get("HTTP/1.1 200 OK", "10\r\n" + file.substr(0, 16) + "\r\nzz\r\n",
      std::string::npos, {"transfer-encoding: Chunked"});
  o = Run();
  ASSERT_FALSE(o.status.ok());
  EXPECT_EQ(o.status.error().kind, ErrorKind::kProtocol);
  EXPECT_EQ(o.status.error().message,
            "malformed chunked body: chunk size \"zz\"");

  std::filesystem::remove(sidecar_);
  Head({"Content-Length: 20000", "ETag: e"});
  Get("HTTP/1.1 200 OK", chunked, 3000, {"Transfer-Encoding: chunked"});
  o = Run();
  ASSERT_FALSE(o.status.ok());
  EXPECT_EQ(o.status.error().kind, ErrorKind::kNetwork);
  EXPECT_EQ(ReadFile(target_), file.substr(0, 3000 - 17));
}

// A 206 whose range does not begin at the asked offset (or names another
// total, or is missing) is not appended: the file starts over from 0.
TEST_F(DownloadTest, RangeFromTheWrongPlaceStartsOver) {
  const std::string file = Content(20000);
  for (const std::string range :
       {"bytes 0-19999/20000", "bytes 1000-19999/30000", ""}) {
    WriteFile(sidecar_, "\"s\"");
    WriteFile(target_, file.substr(0, 1000));
    Head({"Content-Length: 20000", "ETag: \"s\""});
    std::vector<std::string> headers;
    if (!range.empty()) headers.push_back("Content-Range: " + range);
    Get("HTTP/1.1 206 Partial Content", file, std::string::npos, headers);
    Get("HTTP/1.1 200 OK", file);
    const size_t before = server_.requests().size();
    Outcome o = Run();
    ASSERT_TRUE(o.status.ok()) << o.status.error().message;
    EXPECT_EQ(ReadFile(target_), file) << range;
    EXPECT_NE(o.out.find("Content-Range 与请求不符，从头下载文件: " +
                         (range.empty() ? "(none)" : range) + "\n"),
              std::string::npos)
        << o.out;
    ASSERT_EQ(server_.requests().size(), before + 3);
    EXPECT_EQ(server_.requests()[before + 1], GetRequest(1000, "\"s\""));
    EXPECT_EQ(server_.requests()[before + 2], GetRequest(0));
  }
  // A weak ETag cannot vouch for the bytes: no If-Range.
  WriteFile(sidecar_, "W/\"w\"");
  WriteFile(target_, file.substr(0, 1000));
  Head({"Content-Length: 20000", "ETag: W/\"w\""});
  Partial(file, 1000);
  ASSERT_TRUE(Run().status.ok());
  EXPECT_EQ(server_.requests().back(), GetRequest(1000));
  EXPECT_EQ(ReadFile(target_), file);
}

// Redirects of the HEAD are followed (relative and absolute Locations) and
// the GET goes to the final address; only https, at most five times.
TEST_F(DownloadTest, RedirectsAreFollowedToTheFinalAddress) {
  const std::string file = Content(5000);
  const std::string here =
      "https://localhost:" + std::to_string(server_.port());
  auto redirect = [&](const std::string& status, const std::string& to) {
    ConnectionScript script;
    script.response = ResponseHead(status, {"Location: " + to, "ETag: bad"});
    server_.AddScript(script);
  };
  redirect("HTTP/1.1 301 Moved Permanently", here + "/mirror/a/Launcher.exe");
  redirect("HTTP/1.1 302 Found", "b.exe");
  redirect("HTTP/1.1 307 Temporary Redirect", "/final/c.exe#part");
  Head({"Content-Length: 5000", "ETag: \"f\"", "x-oss-hash-crc64ecma: 9"});
  Get("HTTP/1.1 200 OK", file);
  Outcome o = Run();
  ASSERT_TRUE(o.status.ok()) << o.status.error().message;
  EXPECT_EQ(o.crc, 9u);
  EXPECT_EQ(ReadFile(target_), file);
  EXPECT_EQ(ReadFile(sidecar_), "\"f\"");
  const auto& requests = server_.requests();
  ASSERT_EQ(requests.size(), 5u);
  EXPECT_EQ(requests[1], BuildHeadRequest(Host(), "/mirror/a/Launcher.exe"));
  EXPECT_EQ(requests[2], BuildHeadRequest(Host(), "/mirror/a/b.exe"));
  EXPECT_EQ(requests[3], BuildHeadRequest(Host(), "/final/c.exe"));
  EXPECT_EQ(requests[4], BuildGetRequest(Host(), "/final/c.exe", 0));
  EXPECT_NE(o.out.find("重定向到: " + here + "/final/c.exe\n"),
            std::string::npos);

  redirect("HTTP/1.1 308 Permanent Redirect", "http://localhost/x");
  o = Run();
  ASSERT_FALSE(o.status.ok());
  EXPECT_EQ(o.status.error().message,
            "redirect to a non-https address refused: http://localhost/x");
  for (int i = 0; i <= kMaxRedirects; ++i)
    redirect("HTTP/1.1 302 Found", "/again");
  o = Run();
  ASSERT_FALSE(o.status.ok());
  EXPECT_EQ(o.status.error().message, "too many redirects (more than 5)");
  EXPECT_EQ(o.status.error().kind, ErrorKind::kProtocol);
}

// Against the system's nginx, started on a free loopback port.
class NginxDownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access("/usr/sbin/nginx", X_OK) != 0) GTEST_SKIP() << "no nginx";
    dir_ = MakeTempDir();
    file_ = Content(300000);
    WriteFile(dir_ + "/served.bin", file_);
    port_ = testing::ClosedPort("127.0.0.1");
    const std::string command =
        std::string(TALVORO_SOURCE_DIR) + "/scripts/nginx-serve.sh start " +
        dir_ + "/nginx " + std::to_string(port_) + " " + dir_ + "/served.bin " +
        PkiFile("localhost.pem") + " " + PkiFile("localhost.key") +
        " --crc 1234567890123";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    started_ = true;
  }
  void TearDown() override {
    if (started_) {
      const std::string command = std::string(TALVORO_SOURCE_DIR) +
                                  "/scripts/nginx-serve.sh stop " + dir_ +
                                  "/nginx";
      EXPECT_EQ(std::system(command.c_str()), 0);
    }
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  std::string dir_;
  std::string file_;
  uint16_t port_ = 0;
  bool started_ = false;
};

TEST_F(NginxDownloadTest, DownloadsAndResumes) {
  const std::string url = "https://localhost:" + std::to_string(port_) +
                          "/Download/Micro/TalvoroLauncher.exe";
  const std::string target = dir_ + "/" + kTargetFileName;
  const std::string sidecar = dir_ + "/" + kEtagFileName;
  auto status = std::make_shared<DownloadStatus>();
  ::testing::internal::CaptureStdout();
  Result<std::optional<uint64_t>> done =
      RunEngine(Download(url, target, sidecar, status));
  std::string out = ::testing::internal::GetCapturedStdout();
  ASSERT_TRUE(done.ok()) << done.error().message;
  EXPECT_EQ(*done, 1234567890123u);
  EXPECT_EQ(ReadFile(target), file_);
  const std::string etag = ReadFile(sidecar);
  EXPECT_EQ(etag.front(), '"');
  EXPECT_NE(out.find("响应头中的 Content-Length: 300000 字节\n"),
            std::string::npos);

  // Cut the file short: the next run asks for the rest.
  std::filesystem::resize_file(target, 123457);
  ::testing::internal::CaptureStdout();
  done = RunEngine(Download(url, target, sidecar, status));
  out = ::testing::internal::GetCapturedStdout();
  ASSERT_TRUE(done.ok()) << done.error().message;
  EXPECT_NE(out.find("ETag 匹配，继续下载文件\n"), std::string::npos) << out;
  EXPECT_NE(out.find("当前文件大小: 123457 字节\n"), std::string::npos);
  EXPECT_EQ(ReadFile(target), file_);
  EXPECT_EQ(status->Read().percent, 100);
  // nginx writes its log line once it has finished the answer, which may
  // be just after the client has all of it.
  const std::string ranged =
      "\"GET /Download/Micro/TalvoroLauncher.exe HTTP/1.1\" 206";
  std::string log;
  for (int i = 0; i < 100; ++i) {
    log = ReadFile(dir_ + "/nginx/access.log");
    if (log.find(ranged) != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_NE(log.find(ranged), std::string::npos) << log;
}

}  // namespace
}  // namespace talvoro
