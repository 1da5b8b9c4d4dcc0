// The HEAD and GET exchanges over TLS with the scripted test server on
// loopback.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>

#include "download/connection.h"
#include "download/connection_ahead.h"
#include "download/http.h"
#include "download/user_agent.h"
#include "test_pki.h"
#include "tls_test_server.h"

namespace talvoro {
namespace {

using testing::ConnectionScript;
using testing::PkiFile;
using testing::ResponseHead;
using testing::RunEngine;
using testing::TlsTestServer;

class HttpExchangeTest : public ::testing::Test {
 protected:
  HttpExchangeTest()
      : server_(PkiFile("localhost.pem"), PkiFile("localhost.key")),
        url_{"localhost", server_.port(), "/Download/Micro/a.exe"} {}
  // The HEAD exchange, its values copied out as the tests look at them.
  Status Head(uint64_t* length, uint64_t* crc, EtagHandler on_etag) {
    Result<HeadInfo> info =
        RunEngine(HeadExchange(url_, options_, std::move(on_etag)));
    if (!info.ok()) return std::move(info).error();
    *length = info->content_length;
    *crc = info->remote_crc.value_or(0);
    return Status::Ok();
  }

  void Respond(std::string response, bool close_notify = false) {
    ConnectionScript script;
    script.response = std::move(response);
    script.close_notify = close_notify;
    server_.AddScript(std::move(script));
  }

  // Runs the GET exchange and reads the whole body in pieces.
  struct Get {
    Result<int> status = 0;
    std::string body;
    size_t largest_piece = 0;
  };
  Get RunGet(uint64_t offset) {
    return RunEngine(
        [](ParsedUrl url, uint64_t offset,
           std::chrono::steady_clock::duration idle) -> asio::awaitable<Get> {
          ConnectOptions options;
          options.idle_timeout = idle;
          Get get;
          Result<GetResponse> response =
              co_await GetExchange(url, offset, {}, options);
          if (!response.ok()) {
            get.status = std::move(response).error();
          } else {
            get.status = response->status_code();
            char buffer[20000];
            for (int i = 0; i < 100000; ++i) {
              Result<size_t> n =
                  co_await response->ReadBody(asio::buffer(buffer));
              if (!n.ok()) {
                get.status = std::move(n).error();
                break;
              }
              if (*n == 0) break;
              get.largest_piece = std::max(get.largest_piece, *n);
              get.body.append(buffer, *n);
            }
          }
          // One co_return: with two, gcc 12 sees a mismatched delete of the
          // coroutine frame (-Wmismatched-new-delete) where there is none.
          co_return get;
        }(url_, offset, options_.idle_timeout));
  }

  TlsTestServer server_;
  ParsedUrl url_;
  ConnectOptions options_;
};

TEST_F(HttpExchangeTest, HeadSendsTheRequestAndParsesTheAnswer) {
  Respond(ResponseHead("HTTP/1.1 200 OK", {"Content-Length: 42", "ETag: \"e\"",
                                           "x-oss-hash-crc64ecma: 7"}));
  uint64_t length = 0, crc = 0;
  std::string etag;
  ::testing::internal::CaptureStdout();
  Status status = Head(&length, &crc, [&](std::string_view e) {
    etag = e;
    return Status::Ok();
  });
  ::testing::internal::GetCapturedStdout();
  ASSERT_TRUE(status.ok()) << status.error().message;
  EXPECT_EQ(length, 42u);
  EXPECT_EQ(crc, 7u);
  EXPECT_EQ(etag, "\"e\"");
  ASSERT_EQ(server_.requests().size(), 1u);
  EXPECT_EQ(server_.requests()[0],
            "HEAD /Download/Micro/a.exe HTTP/1.1\r\nHost: localhost:" +
                std::to_string(server_.port()) + "\r\n" + UserAgentLine() +
                "Connection: close\r\n\r\n");
}

// The GET's connection is opened together with the HEAD's, not once the
// HEAD has been sent: the server finishes no handshake before it has both
// connections (and gives up after 10 s); the GET's is then at hand, made,
// and no third is opened.
TEST_F(HttpExchangeTest, GetConnectionIsOpenedWithTheHeads) {
  for (int i = 0; i < 2; ++i) {
    ConnectionScript script;
    script.response = ResponseHead(
        "HTTP/1.1 200 OK",
        {"Content-Length: 5", "ETag: \"e\"", "x-oss-hash-crc64ecma: 7"});
    script.hold_until_accepted = 2;
    server_.AddScript(std::move(script));
  }
  options_.open_next_ahead = true;
  ::testing::internal::CaptureStdout();
  Result<HeadInfo> head = RunEngine(HeadExchange(
      url_, options_, [](std::string_view) { return Status::Ok(); }));
  ::testing::internal::GetCapturedStdout();
  ASSERT_TRUE(head.ok()) << head.error().message;
  EXPECT_EQ(head->content_length, 5u);
  ASSERT_NE(head->next, nullptr);
  std::optional<Result<SecureStream>> next = RunEngine(head->next->Take(url_));
  ASSERT_TRUE(next && next->ok());
  EXPECT_EQ(server_.accepted(), 2);
}

TEST_F(HttpExchangeTest, HeadResponseIsCapped) {
  const std::string head = "HTTP/1.1 200 OK\r\nX: ";
  Respond(head + std::string(kMaxHeadResponseBytes - head.size() - 4, 'x') +
          "\r\n\r\n");
  Respond(head + std::string(kMaxHeadResponseBytes - head.size() + 1, 'x'));
  uint64_t length = 0, crc = 0;
  auto no_etag = [](std::string_view) { return Status::Ok(); };
  Status status = Head(&length, &crc, no_etag);
  EXPECT_TRUE(status.ok());
  status = Head(&length, &crc, no_etag);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().message, "HEAD response larger than 65536 bytes");
  EXPECT_EQ(status.error().kind, ErrorKind::kProtocol);
}

// A HEAD answer cut before the end of its headers is a network failure and
// none of its lines is acted on.
TEST_F(HttpExchangeTest, HeadCutInItsHeadersIsANetworkFailure) {
  Respond("HTTP/1.1 200 OK\r\nContent-Length: 42\r\nETag: \"abc");
  Respond("HTTP/1.1 200 OK\n\n");  // bare line breaks end the block too
  uint64_t length = 0, crc = 0;
  int etags = 0;
  auto count = [&](std::string_view) {
    ++etags;
    return Status::Ok();
  };
  ::testing::internal::CaptureStdout();
  Status status = Head(&length, &crc, count);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().kind, ErrorKind::kNetwork);
  EXPECT_EQ(status.error().message,
            "HEAD 请求失败，响应: HTTP/1.1 200 OK\r\nContent-Length: "
            "42\r\nETag: \"abc");
  EXPECT_EQ(etags, 0);
  EXPECT_EQ(length, 0u);
  EXPECT_TRUE(Head(&length, &crc, count).ok());
}

TEST_F(HttpExchangeTest, GetSendsRangeAndReturnsTheBody) {
  std::string body;
  for (int i = 0; i < 30000; ++i) body.push_back(static_cast<char>(i * 7));
  Respond(ResponseHead("HTTP/1.1 206 Partial Content",
                       {"Content-Range: bytes 5-30004/30005"}) +
          body);
  Get get = RunGet(5);
  ASSERT_TRUE(get.status.ok()) << get.status.error().message;
  EXPECT_EQ(*get.status, 206);
  EXPECT_EQ(get.body, body);
  EXPECT_LE(get.largest_piece, kBodyChunkBytes);
  ASSERT_EQ(server_.requests().size(), 1u);
  EXPECT_EQ(server_.requests()[0],
            "GET /Download/Micro/a.exe HTTP/1.1\r\nHost: localhost:" +
                std::to_string(server_.port()) + "\r\n" + UserAgentLine() +
                "Connection: close\r\nRange: bytes=5-\r\n\r\n");

  Respond(ResponseHead("HTTP/1.1 200 OK", {}) + "whole", true);
  get = RunGet(0);
  ASSERT_TRUE(get.status.ok());
  EXPECT_EQ(*get.status, 200);
  EXPECT_EQ(get.body, "whole");
  EXPECT_EQ(server_.requests()[1],
            "GET /Download/Micro/a.exe HTTP/1.1\r\nHost: localhost:" +
                std::to_string(server_.port()) + "\r\n" + UserAgentLine() +
                "Connection: close\r\n\r\n");
}

TEST_F(HttpExchangeTest, GetHeadersWithoutEmptyLineGiveAnEmptyBody) {
  Respond("HTTP/1.1 200 OK\r\nContent-Length: 3\r\nX: y");
  Get get = RunGet(0);
  ASSERT_TRUE(get.status.ok());
  EXPECT_EQ(get.body, "");
  // An empty line must be exactly "\r\n": a bare "\n" is just a header line.
  Respond("HTTP/1.1 200 OK\r\n\nabc\r\n\r\nbody");
  get = RunGet(0);
  ASSERT_TRUE(get.status.ok());
  EXPECT_EQ(get.body, "body");
}

TEST_F(HttpExchangeTest, GetStatusFailures) {
  struct Case {
    const char* response;
    const char* message;
    ErrorKind kind;
  };
  const Case cases[] = {
      {"HTTP/1.1 416 Range Not Satisfiable\r\nX: y\r\n\r\n",
       "HTTP 请求失败，响应: HTTP/1.1 416 Range Not Satisfiable",
       ErrorKind::kProtocol},
      {"HTTP/1.0 200 OK\r\n\r\nbody", "HTTP 请求失败，响应: HTTP/1.0 200 OK",
       ErrorKind::kProtocol},
      // Cut inside the status line: a network failure.
      {"HTTP/1.1 20", "HTTP 请求失败，响应: HTTP/1.1 20", ErrorKind::kNetwork},
      {"HTTP/1.1 200 OK", "HTTP 请求失败，响应: HTTP/1.1 200 OK",
       ErrorKind::kNetwork},
      {"", "HTTP 请求失败，响应: ", ErrorKind::kNetwork},
  };
  for (const Case& c : cases) {
    Respond(c.response);
    Get get = RunGet(1);
    ASSERT_FALSE(get.status.ok()) << c.response;
    EXPECT_EQ(get.status.error().message, c.message);
    EXPECT_EQ(get.status.error().kind, c.kind);
  }
}

TEST_F(HttpExchangeTest, GetHeaderLinesAreCapped) {
  const std::string fits(kMaxHeaderLineBytes - 2, 'h');
  Respond("HTTP/1.1 200 OK\r\n" + fits + "\r\n\r\nbody");
  Get get = RunGet(0);
  ASSERT_TRUE(get.status.ok());
  EXPECT_EQ(get.body, "body");

  Respond("HTTP/1.1 200 OK\r\n" + fits + "h\r\n\r\nbody");
  get = RunGet(0);
  ASSERT_FALSE(get.status.ok());
  EXPECT_EQ(get.status.error().message,
            "GET response header line longer than 16384 bytes");
  EXPECT_EQ(get.status.error().kind, ErrorKind::kProtocol);

  // The status line too, even without any line break.
  Respond("HTTP/1.1 200 " + std::string(kMaxHeaderLineBytes, 'x'));
  get = RunGet(0);
  ASSERT_FALSE(get.status.ok());
  EXPECT_EQ(get.status.error().kind, ErrorKind::kProtocol);
}

TEST_F(HttpExchangeTest, StalledBodyTimesOut) {
  options_.idle_timeout = std::chrono::milliseconds(300);
  ConnectionScript script;
  script.response = ResponseHead("HTTP/1.1 200 OK", {}) + "some";
  script.stall = true;
  server_.AddScript(script);
  Get get = RunGet(0);
  ASSERT_FALSE(get.status.ok());
  EXPECT_EQ(get.status.error().message, "operation timed out");
  EXPECT_EQ(get.status.error().kind, ErrorKind::kNetwork);
  EXPECT_EQ(get.body, "some");
}

}  // namespace
}  // namespace talvoro
