// A scripted TLS server on loopback for the engine's tests, and helpers to
// run engine coroutines from a test.
#ifndef TALVORO_TESTS_TLS_TEST_SERVER_H_
#define TALVORO_TESTS_TLS_TEST_SERVER_H_

#include <asio.hpp>
#include <asio/ssl.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "download/executor.h"

namespace talvoro::testing {

// What the server does with one accepted connection.
struct ConnectionScript {
  // Close the TCP connection after the client's first handshake message,
  // without answering it.
  bool close_in_handshake = false;
  // Accept the TCP connection but never answer the handshake.
  bool stall_in_handshake = false;
  // Hold the handshake until this many connections have been accepted in
  // all; close the connection instead when that takes more than 10 s.
  int hold_until_accepted = 0;
  // Read the request (up to the empty line or the end) before answering.
  bool read_request = true;
  // Sent after the request.
  std::string response;
  // Send only this many bytes of `response`.
  size_t cut_after = std::string::npos;
  // Send `response` in pieces of this many bytes with `pause` before each
  // piece after the first (0: all at once).
  size_t piece_size = 0;
  std::chrono::milliseconds pause{0};
  // After sending, keep the connection open without sending more until the
  // server is destroyed.
  bool stall = false;
  // End with a TLS close_notify before closing (default: a bare TCP close,
  // as many servers do).
  bool close_notify = false;
};

// A TLS server on 127.0.0.1 or ::1 and a free port. Each accepted
// connection takes the next script from the queue; with an empty queue the
// connection is closed at once. Runs on its own thread.
class TlsTestServer {
 public:
  TlsTestServer(const std::string& cert_file, const std::string& key_file,
                const std::string& address = "127.0.0.1");
  ~TlsTestServer();

  uint16_t port() const { return port_; }

  void AddScript(ConnectionScript script);

  // The bytes received on each connection whose handshake completed, in
  // the order of the connections.
  std::vector<std::string> requests() const;
  // The server name (SNI) each completed handshake carried ("" for none),
  // in the order of the connections.
  std::vector<std::string> server_names() const;
  // Number of TCP connections accepted.
  int accepted() const;
  // Number of connections whose TLS handshake failed.
  int failed_handshakes() const;

 private:
  asio::awaitable<void> AcceptLoop();
  asio::awaitable<void> Serve(asio::ip::tcp::socket socket,
                              ConnectionScript script);

  asio::io_context context_;
  asio::ip::tcp::acceptor acceptor_;
  asio::ssl::context ssl_context_;
  uint16_t port_ = 0;
  mutable std::mutex mutex_;
  std::deque<ConnectionScript> scripts_;
  std::vector<std::string> requests_;
  std::vector<std::string> server_names_;
  int accepted_ = 0;
  int failed_handshakes_ = 0;
  std::thread thread_;
};

template <typename T>
asio::awaitable<void> DeliverTo(std::promise<T>* promise,
                                asio::awaitable<T> task) {
  promise->set_value(co_await std::move(task));
}

// Runs `task` on the engine's executor and waits for its result.
template <typename T>
T RunEngine(asio::awaitable<T> task) {
  std::promise<T> promise;
  std::future<T> future = promise.get_future();
  asio::co_spawn(IoContext(), DeliverTo(&promise, std::move(task)),
                 asio::detached);
  return future.get();
}

// An HTTP response head with the given status line and header lines
// (each without its line break), ended by the empty line.
std::string ResponseHead(const std::string& status_line,
                         const std::vector<std::string>& headers);

// Closes a listening socket on `address` and returns its port, which then
// refuses connections (for a while, on loopback).
uint16_t ClosedPort(const std::string& address);

}  // namespace talvoro::testing

#endif  // TALVORO_TESTS_TLS_TEST_SERVER_H_
