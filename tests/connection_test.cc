#include "download/connection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "download/http.h"
#include "test_pki.h"
#include "tls_test_server.h"

namespace talvoro {
namespace {

using asio::ip::tcp;
using testing::ConnectionScript;
using testing::PkiFile;
using testing::RunEngine;
using testing::TlsTestServer;

ParsedUrl UrlFor(const std::string& host, uint16_t port) {
  return ParsedUrl{host, port, "/f"};
}

// Opens a connection and sends one HEAD request over it.
asio::awaitable<Status> OpenAndSend(ParsedUrl url) {
  Result<SecureStream> stream = co_await OpenSecureStream(url);
  if (!stream.ok()) co_return std::move(stream).error();
  const std::string request = BuildHeadRequest(url.host, url.path);
  co_return co_await stream->WriteAll(asio::buffer(request));
}

// Opens a connection and reads it to the end.
asio::awaitable<Result<std::string>> OpenAndReadAll(ParsedUrl url) {
  Result<SecureStream> stream = co_await OpenSecureStream(url);
  if (!stream.ok()) co_return std::move(stream).error();
  const std::string request = BuildHeadRequest(url.host, url.path);
  Status sent = co_await stream->WriteAll(asio::buffer(request));
  if (!sent.ok()) co_return sent.error();
  std::string data;
  char buffer[1000];
  for (int i = 0; i < 10000; ++i) {
    Result<size_t> n = co_await stream->ReadSome(asio::buffer(buffer));
    if (!n.ok()) co_return std::move(n).error();
    if (*n == 0) co_return data;
    data.append(buffer, *n);
  }
  co_return ProtocolError("no end of stream");
}

class ConnectionTest : public ::testing::Test {
 protected:
  void TearDown() override {
    SetTimeouts(Timeouts{});
    SetNameLookup(nullptr);
  }
};

TEST_F(ConnectionTest, ReadsToEndWithAndWithoutCloseNotify) {
  for (bool close_notify : {false, true}) {
    TlsTestServer server(PkiFile("localhost.pem"), PkiFile("localhost.key"));
    ConnectionScript script;
    script.response = std::string(20000, 'z') + "end";
    script.close_notify = close_notify;
    server.AddScript(script);
    Result<std::string> data =
        RunEngine(OpenAndReadAll(UrlFor("localhost", server.port())));
    ASSERT_TRUE(data.ok()) << data.error().message;
    EXPECT_EQ(*data, script.response);
    EXPECT_EQ(server.server_names(), std::vector<std::string>{"localhost"});
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0],
              "HEAD /f HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n"
              "\r\n");
  }
}

TEST_F(ConnectionTest, ChecksTheAddressForIpLiterals) {
  for (const char* address : {"127.0.0.1", "::1"}) {
    TlsTestServer server(PkiFile("localhost.pem"), PkiFile("localhost.key"),
                         address);
    ConnectionScript script;
    script.response = "ok";
    server.AddScript(script);
    Result<std::string> data =
        RunEngine(OpenAndReadAll(UrlFor(address, server.port())));
    ASSERT_TRUE(data.ok()) << address << ": " << data.error().message;
    EXPECT_EQ(*data, "ok");
    // No SNI for an address.
    EXPECT_EQ(server.server_names(), std::vector<std::string>{""});
  }
}

TEST_F(ConnectionTest, RefusedCertificatesSayWhyAndNoRequestIsSent) {
  struct Case {
    const char* cert;
    const char* host;
    const char* message;
  };
  const Case cases[] = {
      {"other", "localhost", "certificate verify failed: hostname mismatch"},
      // The certificate names 127.0.0.1 and ::1 but not this address.
      {"other", "127.0.0.1", "certificate verify failed: IP address mismatch"},
      {"expired", "localhost",
       "certificate verify failed: certificate has expired"},
      {"selfsigned", "localhost",
       "certificate verify failed: self-signed certificate"},
  };
  for (const Case& c : cases) {
    TlsTestServer server(PkiFile(std::string(c.cert) + ".pem"),
                         PkiFile(std::string(c.cert) + ".key"));
    ConnectionScript script;
    script.response = "HTTP/1.1 200 OK\r\n\r\n";
    server.AddScript(script);
    Status sent = RunEngine(OpenAndSend(UrlFor(c.host, server.port())));
    ASSERT_FALSE(sent.ok()) << c.cert;
    EXPECT_EQ(sent.error().message, c.message);
    EXPECT_EQ(sent.error().kind, ErrorKind::kNetwork);
    EXPECT_TRUE(server.requests().empty()) << c.cert;
  }
}

TEST_F(ConnectionTest, UntrustedIssuer) {
  // A chain the trust store does not know: the CA is not sent and not
  // trusted when SSL_CERT_FILE points elsewhere.
  const std::string ca = PkiFile("ca.pem");
  setenv("SSL_CERT_FILE", PkiFile("selfsigned.pem").c_str(), 1);
  TlsTestServer server(PkiFile("localhost.pem"), PkiFile("localhost.key"));
  server.AddScript(ConnectionScript{});
  Status sent = RunEngine(OpenAndSend(UrlFor("localhost", server.port())));
  setenv("SSL_CERT_FILE", ca.c_str(), 1);
  ASSERT_FALSE(sent.ok());
  EXPECT_EQ(sent.error().message,
            "certificate verify failed: unable to get local issuer "
            "certificate");
  EXPECT_TRUE(server.requests().empty());
}

TEST_F(ConnectionTest, PeerClosingInHandshake) {
  TlsTestServer server(PkiFile("localhost.pem"), PkiFile("localhost.key"));
  ConnectionScript script;
  script.close_in_handshake = true;
  server.AddScript(script);
  Status sent = RunEngine(OpenAndSend(UrlFor("localhost", server.port())));
  ASSERT_FALSE(sent.ok());
  EXPECT_EQ(sent.error().message, "unexpected EOF during handshake");
  EXPECT_EQ(sent.error().kind, ErrorKind::kNetwork);
}

TEST_F(ConnectionTest, ConnectToListTakesFirstThatAccepts) {
  TlsTestServer server(PkiFile("localhost.pem"), PkiFile("localhost.key"));
  const tcp::endpoint refusing(asio::ip::make_address("::1"),
                               testing::ClosedPort("::1"));
  const tcp::endpoint accepting(asio::ip::make_address("127.0.0.1"),
                                server.port());
  Result<tcp::socket> socket = RunEngine(ConnectToList({refusing, accepting}));
  ASSERT_TRUE(socket.ok()) << socket.error().message;
  EXPECT_EQ(socket->remote_endpoint(), accepting);
  socket->close();

  // When every address refuses, the last error is returned.
  socket = RunEngine(ConnectToList({refusing}));
  ASSERT_FALSE(socket.ok());
  EXPECT_EQ(socket.error().message, "Connection refused");
  EXPECT_EQ(socket.error().kind, ErrorKind::kNetwork);

  socket = RunEngine(ConnectToList({}));
  ASSERT_FALSE(socket.ok());
  EXPECT_EQ(socket.error().message,
            "could not connect to any of the addresses");
}

TEST_F(ConnectionTest, ResolvesLocalhost) {
  Result<std::vector<tcp::endpoint>> endpoints =
      RunEngine(Resolve("localhost", 4443));
  ASSERT_TRUE(endpoints.ok()) << endpoints.error().message;
  ASSERT_FALSE(endpoints->empty());
  for (const tcp::endpoint& e : *endpoints) {
    EXPECT_TRUE(e.address().is_loopback());
    EXPECT_EQ(e.port(), 4443);
  }
}

TEST_F(ConnectionTest, StalledHandshakeTimesOut) {
  SetTimeouts({std::chrono::milliseconds(300), std::chrono::seconds(60)});
  TlsTestServer server(PkiFile("localhost.pem"), PkiFile("localhost.key"));
  ConnectionScript script;
  script.stall_in_handshake = true;
  server.AddScript(script);
  const auto start = std::chrono::steady_clock::now();
  Status sent = RunEngine(OpenAndSend(UrlFor("localhost", server.port())));
  const auto took = std::chrono::steady_clock::now() - start;
  ASSERT_FALSE(sent.ok());
  EXPECT_EQ(sent.error().message, "operation timed out");
  EXPECT_EQ(sent.error().kind, ErrorKind::kNetwork);
  EXPECT_GE(took, std::chrono::milliseconds(300));
  EXPECT_LT(took, std::chrono::seconds(10));
}

// A name lookup that hangs counts against the connect time-out too; the
// lookup itself is left to finish on its own.
TEST_F(ConnectionTest, HangingLookupTimesOut) {
  SetTimeouts({std::chrono::milliseconds(300), std::chrono::seconds(60)});
  SetNameLookup([](const std::string&,
                   uint16_t) -> Result<std::vector<asio::ip::tcp::endpoint>> {
    std::this_thread::sleep_for(std::chrono::seconds(3));
    return NetworkError("the lookup ended");
  });
  const auto start = std::chrono::steady_clock::now();
  Status sent = RunEngine(OpenAndSend(UrlFor("localhost", 443)));
  const auto took = std::chrono::steady_clock::now() - start;
  ASSERT_FALSE(sent.ok());
  EXPECT_EQ(sent.error().message, "operation timed out");
  EXPECT_EQ(sent.error().kind, ErrorKind::kNetwork);
  EXPECT_LT(took, std::chrono::milliseconds(2500));
}

TEST_F(ConnectionTest, StalledReadTimesOut) {
  SetTimeouts({std::chrono::seconds(30), std::chrono::milliseconds(300)});
  TlsTestServer server(PkiFile("localhost.pem"), PkiFile("localhost.key"));
  ConnectionScript script;
  script.response = "partial";
  script.stall = true;
  server.AddScript(script);
  Result<std::string> data =
      RunEngine(OpenAndReadAll(UrlFor("localhost", server.port())));
  ASSERT_FALSE(data.ok());
  EXPECT_EQ(data.error().message, "operation timed out");
  EXPECT_EQ(data.error().kind, ErrorKind::kNetwork);
}

TEST_F(ConnectionTest, SlowProgressIsNoTimeOut) {
  // Each read waits less than the idle time-out; together they take longer.
  SetTimeouts({std::chrono::seconds(30), std::chrono::milliseconds(1000)});
  TlsTestServer server(PkiFile("localhost.pem"), PkiFile("localhost.key"));
  ConnectionScript script;
  script.response = "abcdef";
  script.piece_size = 1;
  script.pause = std::chrono::milliseconds(300);
  server.AddScript(script);
  Result<std::string> data =
      RunEngine(OpenAndReadAll(UrlFor("localhost", server.port())));
  ASSERT_TRUE(data.ok()) << data.error().message;
  EXPECT_EQ(*data, "abcdef");
}

}  // namespace
}  // namespace talvoro
