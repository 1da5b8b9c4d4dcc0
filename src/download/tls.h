// The TLS client over a connected TCP socket.
//
// This header is the whole surface of the platform's TLS service; the
// implementation lives in one file per platform (tls_openssl.cc with
// OpenSSL, tls_schannel.cc with SChannel on Windows), the stream behaviour
// both share in tls_stream.h. The server's certificate chain is verified
// against the system's trust store (with OpenSSL: the default verify paths,
// so SSL_CERT_FILE and SSL_CERT_DIR apply) and the host name is checked;
// nothing is relaxed, no client certificate and no ALPN list is offered.
// SNI carries the host unless it is an IP literal.
#ifndef TALVORO_DOWNLOAD_TLS_H_
#define TALVORO_DOWNLOAD_TLS_H_

#include <asio.hpp>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "base/error.h"

namespace talvoro {

inline constexpr char kHandshakeEofMessage[] =
    "unexpected EOF during handshake";
inline constexpr char kCertificateFailedPrefix[] =
    "certificate verify failed: ";
inline constexpr char kTimedOutMessage[] = "operation timed out";

// A connected, verified TLS stream. Owns the socket; destroying the stream
// (or Close) closes the socket without a TLS close_notify. Used by one
// coroutine at a time on the engine's executor.
class SecureStream {
 public:
  SecureStream(SecureStream&&) noexcept;
  SecureStream& operator=(SecureStream&&) noexcept;
  ~SecureStream();

  // Writes every byte of `data`. Errors are kNetwork: the system's or the
  // TLS library's text, or "operation timed out" when no byte moved for
  // the idle time-out.
  asio::awaitable<Status> WriteAll(asio::const_buffer data);

  // Reads at least one and at most data.size() bytes, or returns 0 at the
  // end of the stream. A peer that closes the TCP connection without a TLS
  // close_notify also counts as the end of the stream: the caller decides
  // whether the data is complete. Errors as for WriteAll.
  asio::awaitable<Result<size_t>> ReadSome(asio::mutable_buffer data);

  // Closes the socket. Further reads and writes fail.
  void Close();

  struct Impl;

 private:
  friend asio::awaitable<Result<SecureStream>> Secure(
      std::string host, asio::ip::tcp::socket socket,
      std::chrono::steady_clock::time_point deadline,
      std::chrono::steady_clock::duration idle_timeout);
  explicit SecureStream(std::unique_ptr<Impl> impl);

  std::unique_ptr<Impl> impl_;
};

// Runs the client handshake for `host` over `socket` (which must belong to
// the engine's executor). The handshake is abandoned at `deadline`; later
// reads and writes each fail after `idle_timeout` without progress.
// Errors are kNetwork: "certificate verify failed: <reason>" for a refused
// certificate (for example "hostname mismatch", "certificate has expired"),
// "unexpected EOF during handshake" when the peer closes first, "operation
// timed out", or the TLS library's text.
asio::awaitable<Result<SecureStream>> Secure(
    std::string host, asio::ip::tcp::socket socket,
    std::chrono::steady_clock::time_point deadline,
    std::chrono::steady_clock::duration idle_timeout);

}  // namespace talvoro

#endif  // TALVORO_DOWNLOAD_TLS_H_
