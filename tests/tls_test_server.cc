#include "tls_test_server.h"

#include <asio/experimental/as_tuple.hpp>
#include <chrono>

namespace talvoro::testing {

namespace {

using asio::ip::tcp;
constexpr auto kNoThrow = asio::experimental::as_tuple(asio::use_awaitable);

}  // namespace

TlsTestServer::TlsTestServer(const std::string& cert_file,
                             const std::string& key_file,
                             const std::string& address)
    : acceptor_(context_, tcp::endpoint(asio::ip::make_address(address), 0)),
      ssl_context_(asio::ssl::context::tls_server) {
  ssl_context_.use_certificate_chain_file(cert_file);
  ssl_context_.use_private_key_file(key_file, asio::ssl::context::pem);
  port_ = acceptor_.local_endpoint().port();
  asio::co_spawn(context_, AcceptLoop(), asio::detached);
  thread_ = std::thread([this] { context_.run(); });
}

TlsTestServer::~TlsTestServer() {
  context_.stop();
  thread_.join();
}

void TlsTestServer::AddScript(ConnectionScript script) {
  std::lock_guard<std::mutex> lock(mutex_);
  scripts_.push_back(std::move(script));
}

std::vector<std::string> TlsTestServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::vector<std::string> TlsTestServer::server_names() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return server_names_;
}

int TlsTestServer::accepted() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return accepted_;
}

int TlsTestServer::failed_handshakes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failed_handshakes_;
}

asio::awaitable<void> TlsTestServer::AcceptLoop() {
  for (;;) {
    auto [ec, socket] = co_await acceptor_.async_accept(kNoThrow);
    if (ec) co_return;
    ConnectionScript script;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++accepted_;
      if (scripts_.empty()) {
        script.close_in_handshake = true;
      } else {
        script = std::move(scripts_.front());
        scripts_.pop_front();
      }
    }
    asio::co_spawn(context_, Serve(std::move(socket), std::move(script)),
                   asio::detached);
  }
}

asio::awaitable<void> TlsTestServer::Serve(tcp::socket socket,
                                           ConnectionScript script) {
  asio::steady_timer forever(context_, std::chrono::hours(1));
  if (script.close_in_handshake) {
    // Take the client's whole first record (its hello) before closing:
    // closing with unread data would reset the connection instead of
    // ending it, and one read may return only part of the record.
    unsigned char header[5];
    auto [ec, n] =
        co_await asio::async_read(socket, asio::buffer(header), kNoThrow);
    if (!ec) {
      std::vector<unsigned char> body((header[3] << 8) | header[4]);
      co_await asio::async_read(socket, asio::buffer(body), kNoThrow);
    }
    co_return;
  }
  if (script.stall_in_handshake) {
    co_await forever.async_wait(kNoThrow);
    co_return;
  }
  for (int i = 0; accepted() < script.hold_until_accepted; ++i) {
    if (i == 1000) co_return;
    asio::steady_timer tick(context_, std::chrono::milliseconds(10));
    co_await tick.async_wait(kNoThrow);
  }
  asio::ssl::stream<tcp::socket> stream(std::move(socket), ssl_context_);
  auto [hs_ec] =
      co_await stream.async_handshake(asio::ssl::stream_base::server, kNoThrow);
  if (hs_ec) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++failed_handshakes_;
    co_return;
  }
  {
    const char* name =
        SSL_get_servername(stream.native_handle(), TLSEXT_NAMETYPE_host_name);
    std::lock_guard<std::mutex> lock(mutex_);
    server_names_.push_back(name ? name : "");
  }
  std::string received;
  if (script.read_request) {
    char buffer[4096];
    while (received.find("\r\n\r\n") == std::string::npos &&
           received.size() < (1 << 20)) {
      auto [ec, n] =
          co_await stream.async_read_some(asio::buffer(buffer), kNoThrow);
      if (ec) break;
      received.append(buffer, n);
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(received);
  }
  std::string_view response = script.response;
  if (script.cut_after < response.size()) {
    response = response.substr(0, script.cut_after);
  }
  const size_t piece =
      script.piece_size == 0 ? response.size() : script.piece_size;
  for (size_t sent = 0; sent < response.size(); sent += piece) {
    if (sent > 0) {
      asio::steady_timer pause(context_, script.pause);
      co_await pause.async_wait(kNoThrow);
    }
    auto [ec, n] = co_await asio::async_write(
        stream, asio::buffer(response.substr(sent, piece)), kNoThrow);
    if (ec) co_return;
  }
  if (script.stall) {
    co_await forever.async_wait(kNoThrow);
    co_return;
  }
  if (script.close_notify) {
    co_await stream.async_shutdown(kNoThrow);
  }
}

std::string ResponseHead(const std::string& status_line,
                         const std::vector<std::string>& headers) {
  std::string head = status_line + "\r\n";
  for (const std::string& header : headers) head += header + "\r\n";
  return head + "\r\n";
}

uint16_t ClosedPort(const std::string& address) {
  asio::io_context context;
  tcp::acceptor acceptor(context,
                         tcp::endpoint(asio::ip::make_address(address), 0));
  return acceptor.local_endpoint().port();
}

}  // namespace talvoro::testing
