// TLS through OpenSSL (asio::ssl).
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <asio/ssl.hpp>

#include "download/tls.h"
#include "download/tls_stream.h"

namespace talvoro {

namespace {

using asio::ip::tcp;

bool IsEndOfStream(const asio::error_code& ec) {
  return ec == asio::error::eof || ec == asio::ssl::error::stream_truncated;
}

}  // namespace

struct SecureStream::Impl {
  // `context` must be fully configured: the stream's SSL object copies its
  // settings when it is made.
  Impl(asio::ssl::context configured, tcp::socket socket,
       std::chrono::steady_clock::duration idle)
      : context(std::move(configured)),
        stream(std::move(socket), context),
        policy(
            stream.get_executor(),
            [this] {
              asio::error_code ignored;
              stream.lowest_layer().close(ignored);
            },
            idle) {}

  asio::ssl::context context;
  asio::ssl::stream<tcp::socket> stream;
  // Declared after the stream: destroyed first, so its time-out never sees
  // a destroyed socket.
  StreamPolicy policy;
};

SecureStream::SecureStream(std::unique_ptr<Impl> impl)
    : impl_(std::move(impl)) {}
SecureStream::SecureStream(SecureStream&&) noexcept = default;
SecureStream& SecureStream::operator=(SecureStream&&) noexcept = default;
SecureStream::~SecureStream() = default;

asio::awaitable<Status> SecureStream::WriteAll(asio::const_buffer data) {
  impl_->policy.Begin();
  auto [ec, n] = co_await asio::async_write(impl_->stream, data, kNoThrow);
  impl_->policy.End();
  if (ec) co_return impl_->policy.Failure(ec);
  co_return Status::Ok();
}

asio::awaitable<Result<size_t>> SecureStream::ReadSome(
    asio::mutable_buffer data) {
  StreamPolicy& policy = impl_->policy;
  if (policy.at_end() || data.size() == 0) co_return size_t{0};
  policy.Begin();
  auto [ec, n] = co_await impl_->stream.async_read_some(data, kNoThrow);
  policy.End();
  co_return policy.ReadOutcome(ec, n, IsEndOfStream(ec));
}

void SecureStream::Close() {
  asio::error_code ignored;
  impl_->stream.lowest_layer().close(ignored);
}

asio::awaitable<Result<SecureStream>> Secure(
    std::string host, tcp::socket socket,
    std::chrono::steady_clock::time_point deadline,
    std::chrono::steady_clock::duration idle_timeout) {
  asio::ssl::context context(asio::ssl::context::tls_client);
  asio::error_code ec;
  context.set_default_verify_paths(ec);
  if (!ec) context.set_verify_mode(asio::ssl::verify_peer, ec);
  if (ec) co_return NetworkError(ec.message());
  auto impl = std::make_unique<SecureStream::Impl>(
      std::move(context), std::move(socket), idle_timeout);

  SSL* ssl = impl->stream.native_handle();
  // Peer verification is what makes the connection trustworthy: refuse to
  // go on if the SSL object did not take it over.
  if ((SSL_get_verify_mode(ssl) & SSL_VERIFY_PEER) == 0) {
    co_return NetworkError("TLS peer verification is not enabled");
  }
  asio::error_code not_ip;
  asio::ip::make_address(host, not_ip);
  if (not_ip) {
    if (SSL_set_tlsext_host_name(ssl, host.c_str()) != 1 ||
        SSL_set1_host(ssl, host.c_str()) != 1) {
      co_return NetworkError("cannot use host name for TLS: " + host);
    }
  } else if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str()) !=
             1) {
    co_return NetworkError("cannot use address for TLS: " + host);
  }

  impl->policy.BeginUntil(deadline);
  auto [hs_ec] = co_await impl->stream.async_handshake(
      asio::ssl::stream_base::client, kNoThrow);
  impl->policy.End();
  if (hs_ec) {
    if (impl->policy.timed_out()) co_return NetworkError(kTimedOutMessage);
    const long verify = SSL_get_verify_result(ssl);
    if (verify != X509_V_OK) {
      Error untrusted = NetworkError(std::string(kCertificateFailedPrefix) +
                                     X509_verify_cert_error_string(verify));
      untrusted.cause = Cause::kUntrusted;
      co_return untrusted;
    }
    if (IsEndOfStream(hs_ec)) co_return NetworkError(kHandshakeEofMessage);
    co_return NetworkError(hs_ec.message());
  }
  co_return SecureStream(std::move(impl));
}

}  // namespace talvoro
