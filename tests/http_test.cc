// The HTTP requests, and the parsing of answers held in memory: the HEAD
// answer and the GET answer read in pieces. The exchanges over TLS with a
// scripted server are in http_exchange_test.cc.
#include "download/http.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "download/http_parse.h"
#include "download/proxy_auth.h"
#include "download/user_agent.h"
#include "fuzz/memory_source.h"

namespace talvoro {
namespace {

using testing::MemorySource;
using testing::RunHere;

// An HTTP response head with the given status line and header lines
// (each without its line break), ended by the empty line.
std::string ResponseHead(const std::string& status_line,
                         const std::vector<std::string>& headers) {
  std::string head = status_line + "\r\n";
  for (const std::string& header : headers) head += header + "\r\n";
  return head + "\r\n";
}

TEST(HttpRequestTest, RequestTexts) {
  const std::string agent = "User-Agent: " + UserAgent() + "\r\n";
  EXPECT_EQ(BuildHeadRequest("example.test", "/Download/Micro/a.exe"),
            "HEAD /Download/Micro/a.exe HTTP/1.1\r\nHost: example.test\r\n" +
                agent + "Connection: close\r\n\r\n");
  EXPECT_EQ(BuildGetRequest("example.test:8443", "/a", 0),
            "GET /a HTTP/1.1\r\nHost: example.test:8443\r\n" + agent +
                "Connection: close\r\n\r\n");
  EXPECT_EQ(BuildGetRequest("example.test", "/a", 1048576),
            "GET /a HTTP/1.1\r\nHost: example.test\r\n" + agent +
                "Connection: close\r\nRange: bytes=1048576-\r\n\r\n");
}

// The values a HEAD response yields.
struct Parsed {
  Status status;
  uint64_t content_length = 0;
  std::optional<uint64_t> crc;
  std::vector<std::string> etags;
  std::string out;
};

Parsed Parse(const std::string& response) {
  Parsed p;
  ::testing::internal::CaptureStdout();
  p.status = ParseHeadResponse(response, &p.content_length, &p.crc,
                               [&](std::string_view etag) {
                                 p.etags.emplace_back(etag);
                                 return Status::Ok();
                               });
  p.out = ::testing::internal::GetCapturedStdout();
  return p;
}

// Proxy-Authenticate as proxies send it: several headers, several
// challenges in one, quoted parameters with commas and escapes, token68.
TEST(ProxyAuthTest, ParsesChallenges) {
  const std::string head =
      "HTTP/1.1 407 Proxy Authentication Required\r\n"
      "Proxy-Authenticate: Negotiate\r\n"
      "proxy-authenticate: NTLM TlRMTVNTUAACAAAA==, Basic realm=\"a, "
      "\\\"b\\\"\", "
      "charset=UTF-8\r\n"
      "Content-Length: 0\r\n"
      "PROXY-AUTHENTICATE:Digest realm=x , qop=\"auth,auth-int\",nonce=abc,"
      "  Bearer\r\n"
      "\r\n"
      "Proxy-Authenticate: Basic realm=body\r\n";
  const std::vector<AuthChallenge> c = ProxyChallenges(head);
  ASSERT_EQ(c.size(), 5u);
  EXPECT_EQ(c[0].scheme, "Negotiate");
  EXPECT_TRUE(c[0].token.empty() && c[0].params.empty());
  EXPECT_EQ(c[1].scheme, "NTLM");
  EXPECT_EQ(c[1].token, "TlRMTVNTUAACAAAA==");
  EXPECT_EQ(c[2].scheme, "Basic");
  using Params = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(c[2].params, (Params{{"realm", "a, \"b\""}, {"charset", "UTF-8"}}));
  EXPECT_EQ(c[3].scheme, "Digest");
  EXPECT_EQ(
      c[3].params,
      (Params{{"realm", "x"}, {"qop", "auth,auth-int"}, {"nonce", "abc"}}));
  EXPECT_EQ(c[4].scheme, "Bearer");
  EXPECT_EQ(SchemeList(c), "Negotiate, NTLM, Basic, Digest, Bearer");
  EXPECT_EQ(FindChallenge(c, "ntlm"), &c[1]);
  EXPECT_EQ(FindChallenge(c, "Kerberos"), nullptr);

  // Garbage is skipped, what can be read is kept.
  const std::vector<AuthChallenge> odd = ParseChallenges(
      " ,, Basic realm=\"unterminated, =x, \"q\" NTLM abc=, , Basic");
  ASSERT_FALSE(odd.empty());
  EXPECT_EQ(odd[0].scheme, "Basic");
  EXPECT_EQ(odd[0].params.at(0).second, "unterminated, =x, ");
  EXPECT_EQ(SchemeList({}), "none");
  EXPECT_TRUE(ParseChallenges("").empty());
}

TEST(ProxyAuthTest, Base64AndBasic) {
  const std::string all = [] {
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
    return bytes;
  }();
  for (size_t n = 0; n <= 5; ++n) {
    const std::string_view bytes(all.data() + 250, n);
    EXPECT_EQ(Base64Decode(Base64Encode(bytes)), std::string(bytes)) << n;
  }
  EXPECT_EQ(Base64Decode(Base64Encode(all)), all);
  EXPECT_EQ(Base64Encode("foob"), "Zm9vYg==");
  EXPECT_EQ(Base64Encode("fooba"), "Zm9vYmE=");
  for (const char* bad :
       {"Zm9", "Zm9vY===", "Zm=vYg==", "Zm9v\nYg==", "Zg=a"}) {
    EXPECT_FALSE(Base64Decode(bad)) << bad;
  }
  EXPECT_EQ(BasicAuthorization("Aladdin", "open sesame"),
            "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
}

TEST(HeadResponseTest, TakesTheThreeHeaders) {
  Parsed p = Parse(
      ResponseHead("HTTP/1.1 200 OK",
                   {"Server: test", "Content-Length:  1234 ", "ETag: \"abc-1\"",
                    "x-oss-hash-crc64ecma: 18446744073709551615",
                    "content-length: 99", "Content-Type: x"}));
  ASSERT_TRUE(p.status.ok()) << p.status.error().message;
  // The names in any case; the last value wins.
  EXPECT_EQ(p.content_length, 99u);
  EXPECT_EQ(p.crc, 18446744073709551615u);
  EXPECT_EQ(p.etags, std::vector<std::string>{"\"abc-1\""});
  EXPECT_EQ(p.out,
            "响应头中的 Content-Length: 1234 字节\n"
            "CRC64 : 18446744073709551615\n"
            "响应头中的 Content-Length: 99 字节\n");
  EXPECT_EQ(Parse(ResponseHead("HTTP/1.1 200 OK", {"Server: test"})).crc,
            std::nullopt);
}

TEST(HeadResponseTest, NamesInAnyCaseAndBareLineBreaks) {
  Parsed p = Parse(
      "HTTP/1.1 200 OK\ncontent-length: 5\netag: x\nX-OSS-Hash-CRC64ECMA: 1\n"
      "Content-Length :3\nETAG-X: y\nContent-Length:+7");
  ASSERT_TRUE(p.status.ok());
  // The last piece without a line break still counts; "\n" alone ends a
  // line too. A blank before the colon, or a longer name, is another header.
  EXPECT_EQ(p.content_length, 7u);
  EXPECT_EQ(p.crc, 1u);
  EXPECT_EQ(p.etags, std::vector<std::string>{"x"});
}

// The one status-line parser and header matcher behind the HEAD, GET,
// redirect and CONNECT answers: a code with more digits after it is no
// redirect; a name must be the whole field name.
TEST(HttpParseTest, StatusLinesAndHeaderNames) {
  for (const char* line : {"HTTP/1.1 307\r\n", "HTTP/1.1 307", "HTTP/1.1 307 x",
                           "HTTP/1.1 307\n"}) {
    ASSERT_TRUE(ParseStatusLine(line).has_value()) << line;
    EXPECT_EQ(ParseStatusLine(line)->code, 307);
  }
  // Exactly three digits, then a blank, a line break or the end.
  for (const char* line : {"HTTP/1.1 3071", "HTTP/1.1 2000", "HTTP/1.1 2x0",
                           "HTTP/1.1 200OK", "HTTP/1.1 20", "HTTP/1.1  200"}) {
    EXPECT_FALSE(ParseStatusLine(line).has_value()) << line;
  }
  EXPECT_EQ(HeaderValue("eTaG:  \"a\" \r", "ETag"), "\"a\"");
  EXPECT_FALSE(HeaderValue("ETag : x", "ETag").has_value());
  EXPECT_FALSE(HeaderValue("ETags: x", "ETag").has_value());
  EXPECT_FALSE(HeaderValue("ETag", "ETag").has_value());
}

// 02:00:00.25 on 10 December 2026 (a Thursday), in GMT.
const std::chrono::system_clock::time_point kNow =
    std::chrono::sys_days(std::chrono::year(2026) / 12 / 10) +
    std::chrono::hours(2) + std::chrono::milliseconds(250);

// Retry-After: delta-seconds, and the three forms of an HTTP-date, as whole
// seconds from now rounded up (a wait is never cut short); a time past is 0.
TEST(RetryAfterTest, DeltaSecondsAndTheThreeDateForms) {
  using std::chrono::seconds;
  struct Case {
    const char* value;
    int64_t wait;
  };
  const Case cases[] = {
      {"20", 20},
      {"0", 0},
      {"0086400", 86400},
      {"99999999999999999999999", INT32_MAX},
      {"Thu, 10 Dec 2026 02:00:20 GMT", 20},
      {"Thursday, 10-Dec-26 02:00:20 GMT", 20},
      {"Thu Dec 10 02:00:20 2026", 20},
      {"Thu, 10 Dec 2026 02:00:60 GMT", 60},  // a leap second
      {"Fri, 01 Jan 2027 00:00:00 GMT", 21 * 86400 + 22 * 3600},
      {"Fri Jan  1 00:00:00 2027", 21 * 86400 + 22 * 3600},
      {"Friday, 01-Jan-27 00:00:00 GMT", 21 * 86400 + 22 * 3600},
      // Past, or this very second: no wait.
      {"Thu, 10 Dec 2026 02:00:00 GMT", 0},
      {"Sun, 06 Nov 1994 08:49:37 GMT", 0},
      {"Sunday, 06-Nov-94 08:49:37 GMT", 0},
      {"Sun Nov  6 08:49:37 1994", 0},
      // A two-digit year more than 50 years ahead is the century before.
      {"Wednesday, 10-Dec-77 02:00:00 GMT", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseRetryAfter(c.value, kNow), seconds(c.wait)) << c.value;
  }
  // 50 years ahead is still this century.
  EXPECT_GT(ParseRetryAfter("Thursday, 10-Dec-76 02:00:00 GMT", kNow),
            seconds(49LL * 365 * 86400));
}

TEST(RetryAfterTest, AnythingElseIsIgnored) {
  for (const char* value : {
           "",
           "-5",
           "+5",
           "5 s",
           "1.5",
           "2 0",
           "0x10",
           "soon",
           "Thu, 31 Feb 2030 10:00:00 GMT",    // no such day
           "Thu, 10 Dec 2026 24:00:00 GMT",    // no such hour
           "Thu, 10 Dec 2026 02:61:00 GMT",    // no such minute
           "thu, 10 Dec 2026 02:00:20 GMT",    // names have their case
           "Thu, 10 DEC 2026 02:00:20 GMT",    //
           "Thu, 10 Dec 2026 02:00:20 UTC",    // GMT only
           "Thu, 10 Dec 2026 02:00:20 GMT x",  // nothing after it
           "Thu,10 Dec 2026 02:00:20 GMT",     // blanks as written
           "Thu, 1 Dec 2026 02:00:20 GMT",     // two-digit day
           "Thursday, 10 Dec 2026 02:00:20 GMT",
           "Thu, 10-Dec-26 02:00:20 GMT",
           "Thursday, 10-Dec-2026 02:00:20 GMT",
           "Thu Dec 10 02:00:20 26",
           "Thu Dec 10 2:00:20 2026",
           "Thu Dec 1 02:00:20 2026",
       }) {
    EXPECT_EQ(ParseRetryAfter(value, kNow), std::nullopt) << value;
  }
}

// 500, 502, 503, 504 and 429 are a busy server: the partial download
// stays; the text of the error is the same as for any failed status.
// Retry-After counts on 429 and 503 only, the last one, in the head only.
TEST(HttpParseTest, BusyServerAnswers) {
  using std::chrono::seconds;
  for (int code : {500, 502, 503, 504, 429}) {
    const std::string status = "HTTP/1.1 " + std::to_string(code) + " Busy";
    const Error e =
        StatusFailure(kHeadFailedPrefix,
                      ResponseHead(status, {"Retry-After: 20"}), true, kNow);
    EXPECT_EQ(e.cause, Cause::kServerBusy) << code;
    EXPECT_EQ(e.kind, ErrorKind::kProtocol);
    EXPECT_EQ(e.message,
              std::string(kHeadFailedPrefix) + status + "\r\nRetry-After: 20");
    EXPECT_EQ(e.retry_after, code == 429 || code == 503
                                 ? std::optional<seconds>(20)
                                 : std::nullopt)
        << code;
  }
  for (const char* status :
       {"HTTP/1.1 404 Not Found", "HTTP/1.1 501 x", "HTTP/1.1 416 x",
        "HTTP/1.1 5030", "HTTP/2 503", " HTTP/1.1 503"}) {
    const Error e =
        StatusFailure(kHeadFailedPrefix,
                      ResponseHead(status, {"Retry-After: 20"}), true, kNow);
    EXPECT_EQ(e.cause, Cause::kUnspecified) << status;
    EXPECT_EQ(e.retry_after, std::nullopt) << status;
  }
  EXPECT_EQ(StatusFailure(kHeadFailedPrefix, "HTTP/1.0 503\r\n\r\n").cause,
            Cause::kServerBusy);
  // A cut answer is a network failure, whatever its status.
  EXPECT_EQ(StatusFailure(kHeadFailedPrefix, "HTTP/1.1 503 x\r\n", false).cause,
            Cause::kUnspecified);
  EXPECT_EQ(RetryAfterOf(ResponseHead("HTTP/1.1 503 x",
                                      {"Retry-After: 5", "retry-after:  7 "}),
                         kNow),
            seconds(7));
  EXPECT_EQ(RetryAfterOf(ResponseHead("HTTP/1.1 503 x",
                                      {"Retry-After: 5", "Retry-After: 7s"}),
                         kNow),
            std::nullopt);
  EXPECT_EQ(RetryAfterOf("HTTP/1.1 503 x\r\n\r\nRetry-After: 5\r\n", kNow),
            std::nullopt);
  EXPECT_EQ(RetryAfterOf("Retry-After: 5\r\n", kNow), std::nullopt);
  // Through the HEAD answer's reader.
  Parsed p =
      Parse(ResponseHead("HTTP/1.1 429 Too Many Requests", {"Retry-After: 9"}));
  ASSERT_FALSE(p.status.ok());
  EXPECT_EQ(p.status.error().cause, Cause::kServerBusy);
  EXPECT_EQ(p.status.error().retry_after, seconds(9));
}

TEST(HeadResponseTest, RepeatedHeadersAreHandledEachTime) {
  Parsed p = Parse(ResponseHead("HTTP/1.1 200 OK",
                                {"ETag: \"one\"", "Content-Length: 1",
                                 "ETag:", "Content-Length: 2", "ETag:two"}));
  ASSERT_TRUE(p.status.ok());
  EXPECT_EQ(p.content_length, 2u);
  EXPECT_EQ(p.etags, (std::vector<std::string>{"\"one\"", "", "two"}));
  EXPECT_EQ(p.out,
            "响应头中的 Content-Length: 1 字节\n"
            "响应头中的 Content-Length: 2 字节\n");
}

TEST(HeadResponseTest, StatusTest) {
  struct Case {
    const char* response;
    const char* message;
  };
  const Case cases[] = {
      {"HTTP/1.1 206 Partial Content\r\nContent-Length: 1\r\n\r\n",
       "HEAD 请求失败，响应: HTTP/1.1 206 Partial Content\r\nContent-Length: "
       "1"},
      {"HTTP/1.0 200 OK\r\n\r\n", "HEAD 请求失败，响应: HTTP/1.0 200 OK"},
      {" HTTP/1.1 200 OK\r\n", "HEAD 请求失败，响应: HTTP/1.1 200 OK"},
      {"http/1.1 200 OK\r\n", "HEAD 请求失败，响应: http/1.1 200 OK"},
      {"HTTP/1.1 20", "HEAD 请求失败，响应: HTTP/1.1 20"},
      {"HTTP/1.1 404 没有\r\n\r\n", "HEAD 请求失败，响应: HTTP/1.1 404 没有"},
  };
  for (const Case& c : cases) {
    Parsed p = Parse(c.response);
    ASSERT_FALSE(p.status.ok()) << c.response;
    EXPECT_EQ(p.status.error().message, c.message);
    EXPECT_EQ(p.status.error().kind, ErrorKind::kProtocol);
    EXPECT_EQ(p.content_length, 0u);
    EXPECT_EQ(p.out, "");
  }
  EXPECT_TRUE(Parse("HTTP/1.1 200").status.ok());
  EXPECT_EQ(Parse("HTTP/1.1 2000").status.error().message,
            "HEAD 请求失败，响应: HTTP/1.1 2000");

  // Nothing at all: the connection closed before an answer.
  Parsed p = Parse("");
  ASSERT_FALSE(p.status.ok());
  EXPECT_EQ(p.status.error().message, "HEAD 请求失败，响应: ");
  EXPECT_EQ(p.status.error().kind, ErrorKind::kNetwork);
}

TEST(HeadResponseTest, BadNumbersAndBytes) {
  struct Case {
    const char* header;
    const char* message;
  };
  const Case cases[] = {
      {"Content-Length: -1", "invalid digit found in string"},
      {"Content-Length: 12a", "invalid digit found in string"},
      {"Content-Length: 1 2", "invalid digit found in string"},
      {"Content-Length:", "cannot parse integer from empty string"},
      {"x-oss-hash-crc64ecma: 18446744073709551616",
       "number too large to fit in target type"},
      {"x-oss-hash-crc64ecma: 0x12", "invalid digit found in string"},
  };
  for (const Case& c : cases) {
    Parsed p = Parse(ResponseHead("HTTP/1.1 200 OK", {c.header, "ETag: e"}));
    ASSERT_FALSE(p.status.ok()) << c.header;
    EXPECT_EQ(p.status.error().message, c.message);
    EXPECT_EQ(p.status.error().kind, ErrorKind::kProtocol);
    // The parse stops at the bad line.
    EXPECT_TRUE(p.etags.empty());
  }
  Parsed p = Parse("HTTP/1.1 200 OK\r\nETag: \xff\r\n");
  ASSERT_FALSE(p.status.ok());
  EXPECT_EQ(p.status.error().message, "stream did not contain valid UTF-8");
  EXPECT_TRUE(p.etags.empty());
  // Invalid bytes are reported before the status is looked at.
  p = Parse("HTTP/1.1 500 \xc0\r\n");
  EXPECT_EQ(p.status.error().message, "stream did not contain valid UTF-8");
}

TEST(HeadResponseTest, EtagHandlerErrorStopsTheParse) {
  uint64_t length = 0;
  std::optional<uint64_t> crc;
  int calls = 0;
  Status status =
      ParseHeadResponse(ResponseHead("HTTP/1.1 200 OK", {"ETag: a", "ETag: b"}),
                        &length, &crc, [&](std::string_view) -> Status {
                          ++calls;
                          return FileError("disk full");
                        });
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().message, "disk full");
  EXPECT_EQ(status.error().kind, ErrorKind::kFile);
  EXPECT_EQ(calls, 1);
}

// The reader of GET answers over answers in memory, read in pieces.
struct GetRead {
  Result<int> status = 0;
  std::string body;
  std::optional<Error> end;  // how the body ended, if not cleanly
};

GetRead ReadAnswer(std::string answer, std::vector<size_t> pieces,
                   std::optional<Error> end_error = std::nullopt) {
  return RunHere(
      [](std::unique_ptr<ByteSource> source) -> asio::awaitable<GetRead> {
        GetRead read;
        Result<GetResponse> response =
            co_await ReadGetResponseHead(std::move(source));
        if (!response.ok()) {
          read.status = std::move(response).error();
          co_return read;
        }
        read.status = response->status_code();
        char buffer[3];
        for (;;) {
          Result<size_t> n = co_await response->ReadBody(asio::buffer(buffer));
          if (!n.ok()) {
            read.end = std::move(n).error();
            break;
          }
          if (*n == 0) break;
          read.body.append(buffer, *n);
        }
        co_return read;
      }(std::make_unique<MemorySource>(std::move(answer), std::move(pieces),
                                             std::move(end_error))));
}

const std::vector<std::vector<size_t>> kPieceSizes = {
    {}, {1}, {2, 5, 1}, {4096}};

TEST(GetHeadReaderTest, SameOutcomeWhateverThePieces) {
  struct Case {
    std::string answer;
    int status;
    std::string body;
  };
  const Case cases[] = {
      {ResponseHead("HTTP/1.1 200 OK", {"Content-Length: 5"}) + "whole", 200,
       "whole"},
      {ResponseHead("HTTP/1.1 206 Partial Content", {}) + "a\r\n\r\nb", 206,
       "a\r\n\r\nb"},
      {"HTTP/1.1 200 OK\r\nX: y", 200, ""},
      {"HTTP/1.1 200 OK\r\n\nabc\r\n\r\nbody", 200, "body"},
  };
  for (const Case& c : cases) {
    for (const auto& pieces : kPieceSizes) {
      GetRead read = ReadAnswer(c.answer, pieces);
      ASSERT_TRUE(read.status.ok()) << c.answer;
      EXPECT_EQ(*read.status, c.status);
      EXPECT_EQ(read.body, c.body) << c.answer << " " << pieces.size();
      EXPECT_FALSE(read.end.has_value());
    }
  }
  for (const auto& pieces : kPieceSizes) {
    GetRead read = ReadAnswer("HTTP/1.1 404 Not Found\r\n\r\n", pieces);
    ASSERT_FALSE(read.status.ok());
    EXPECT_EQ(read.status.error().message,
              "HTTP 请求失败，响应: HTTP/1.1 404 Not Found");
    read = ReadAnswer("HTTP/1.1 20", pieces);
    ASSERT_FALSE(read.status.ok());
    EXPECT_EQ(read.status.error().kind, ErrorKind::kNetwork);
  }
}

// A busy server's GET answer: the same error text (the status line), its
// Retry-After read from the header lines that follow; a head cut short
// leaves only the status.
TEST(GetHeadReaderTest, BusyServerAndItsRetryAfter) {
  for (const auto& pieces : kPieceSizes) {
    GetRead read = ReadAnswer(
        ResponseHead("HTTP/1.1 503 Service Unavailable",
                     {"Server: x", "Retry-After: 9", "Content-Length: 3"}) +
            "abc",
        pieces);
    ASSERT_FALSE(read.status.ok());
    EXPECT_EQ(read.status.error().message,
              "HTTP 请求失败，响应: HTTP/1.1 503 Service Unavailable");
    EXPECT_EQ(read.status.error().cause, Cause::kServerBusy);
    EXPECT_EQ(read.status.error().retry_after, std::chrono::seconds(9));

    read =
        ReadAnswer(ResponseHead("HTTP/1.1 500 x", {"Retry-After: 9"}), pieces);
    EXPECT_EQ(read.status.error().cause, Cause::kServerBusy);
    EXPECT_EQ(read.status.error().retry_after, std::nullopt);

    // A whole Retry-After line before the stream fails counts; one cut
    // short does not.
    for (const char* rest : {"Retry-After: 9\r\nX:", "Retry-After: 9"}) {
      read = ReadAnswer(std::string("HTTP/1.1 429 x\r\n") + rest, pieces,
                        NetworkError("connection reset by peer"));
      EXPECT_EQ(read.status.error().message,
                "HTTP 请求失败，响应: HTTP/1.1 429 x");
      EXPECT_EQ(read.status.error().cause, Cause::kServerBusy);
      EXPECT_EQ(read.status.error().retry_after,
                rest[14] == '\r' ? std::optional(std::chrono::seconds(9))
                                 : std::nullopt);
    }
  }
}

TEST(GetHeadReaderTest, LineCapHoldsAcrossPieces) {
  const std::string head = "HTTP/1.1 206 x\r\n";
  const std::string fits(kMaxHeaderLineBytes - 2, 'h');
  for (const auto& pieces : kPieceSizes) {
    GetRead read = ReadAnswer(head + fits + "\r\n\r\nbody", pieces);
    ASSERT_TRUE(read.status.ok());
    EXPECT_EQ(read.body, "body");
    // One byte more, whether the line then ends or the stream does.
    for (const char* end : {"h\r\n\r\nbody", "hhh"}) {
      read = ReadAnswer(head + fits + end, pieces);
      ASSERT_FALSE(read.status.ok());
      EXPECT_EQ(read.status.error().message,
                "GET response header line longer than 16384 bytes");
      EXPECT_EQ(read.status.error().kind, ErrorKind::kProtocol);
    }
  }
}

TEST(GetHeadReaderTest, SourceErrorsComeBackUnchanged) {
  const Error reset = NetworkError("connection reset by peer");
  for (const auto& pieces : kPieceSizes) {
    // In the status line, in a header line, after a whole header line.
    for (const char* answer : {"HTTP/1.1 2", "HTTP/1.1 200 OK\r\nX:",
                               "HTTP/1.1 200 OK\r\nX: y\r\n"}) {
      GetRead read = ReadAnswer(answer, pieces, reset);
      ASSERT_FALSE(read.status.ok()) << answer;
      EXPECT_EQ(read.status.error().message, reset.message);
      EXPECT_EQ(read.status.error().kind, reset.kind);
    }
    // In the body: the bytes before it are all handed out.
    GetRead read = ReadAnswer("HTTP/1.1 200 OK\r\n\r\nsome", pieces, reset);
    ASSERT_TRUE(read.status.ok());
    EXPECT_EQ(read.body, "some");
    ASSERT_TRUE(read.end.has_value());
    EXPECT_EQ(read.end->message, reset.message);
  }
}

}  // namespace
}  // namespace talvoro
