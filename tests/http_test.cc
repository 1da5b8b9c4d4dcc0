// The HTTP requests, and the parsing of answers held in memory: the HEAD
// answer and the GET answer read in pieces. The exchanges over TLS with a
// scripted server are in http_exchange_test.cc.
#include "download/http.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "download/http_parse.h"
#include "download/proxy_auth.h"
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
  EXPECT_EQ(BuildHeadRequest("example.test", "/Download/Micro/a.exe"),
            "HEAD /Download/Micro/a.exe HTTP/1.1\r\nHost: example.test\r\n"
            "Connection: close\r\n\r\n");
  EXPECT_EQ(BuildGetRequest("example.test", "/a", 0),
            "GET /a HTTP/1.1\r\nHost: example.test\r\nConnection: close\r\n"
            "\r\n");
  EXPECT_EQ(BuildGetRequest("example.test", "/a", 1048576),
            "GET /a HTTP/1.1\r\nHost: example.test\r\nConnection: close\r\n"
            "Range: bytes=1048576-\r\n\r\n");
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
  EXPECT_TRUE(ParseStatusLine("HTTP/1.1 307\r\n")->code_alone);
  EXPECT_FALSE(ParseStatusLine("HTTP/1.1 3071")->code_alone);
  EXPECT_FALSE(ParseStatusLine("HTTP/1.1 2x0").has_value());
  EXPECT_EQ(HeaderValue("eTaG:  \"a\" \r", "ETag"), "\"a\"");
  EXPECT_FALSE(HeaderValue("ETag : x", "ETag").has_value());
  EXPECT_FALSE(HeaderValue("ETags: x", "ETag").has_value());
  EXPECT_FALSE(HeaderValue("ETag", "ETag").has_value());
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
  EXPECT_TRUE(Parse("HTTP/1.1 2000").status.ok());

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
