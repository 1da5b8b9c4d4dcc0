// TLS through SSPI with the SChannel provider, over an Asio socket.
//
// The provider runs the handshake and the record layer only: its automatic
// check of the server's certificate is switched off (under Wine it accepts
// anything) and the check is made here, once the handshake is complete and
// before the stream is handed out, so no request is ever written to a
// server that was not verified. The chain is built with CryptoAPI against
// the system's stores for the server-authentication usages, its trust
// status is examined here, and the SSL policy checks the server name.
//
// Neither secur32 nor crypt32 is imported: both are loaded from System32
// when the first connection is secured (base/system_library.h). The
// headers' declarations give only the functions' types.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "download/tls.h"
#include "download/tls_stream.h"

// After Asio, which brings winsock2.h before windows.h.
#include <windows.h>
#include <winternl.h>
#define SCHANNEL_USE_BLACKLISTS
#define SECURITY_WIN32
#include <schannel.h>
#include <security.h>
#include <sspi.h>
#include <wincrypt.h>

#include "base/system_library.h"
#include "base/win32_text.h"

namespace talvoro {

namespace {

using asio::ip::tcp;

constexpr ULONG kContextFlags =
    ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
    ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR |
    ISC_REQ_MANUAL_CRED_VALIDATION;

// One socket read brings up to this many bytes: many records at once, as
// under Wine each read is a round trip to the wineserver. The records are
// decrypted where they are and handed out from there. The buffer grows for
// a larger handshake message, up to the cap.
constexpr size_t kReceiveBytes = 256 * 1024;
constexpr size_t kMaxIncomingBytes = 1 << 20;

// The SSPI and CryptoAPI functions of this file.
struct TlsApi {
  // SSPI's function table, from secur32.dll; static data of the DLL.
  const SecurityFunctionTableW* sspi;
  // From crypt32.dll.
  decltype(&CertGetCertificateChain) get_chain;
  decltype(&CertVerifyCertificateChainPolicy) verify_chain_policy;
  decltype(&CertFreeCertificateChain) free_chain;
  decltype(&CertFreeCertificateContext) free_certificate;
};

// Sets `slot` to `function` of `library`.
template <typename F>
Status LoadInto(F*& slot, const wchar_t* library, const char* function) {
  Result<F*> address = SystemFunctionOf<F>(library, function);
  if (!address.ok()) return std::move(address).error();
  slot = *address;
  return Status::Ok();
}

Result<TlsApi> LoadTlsApi() {
  constexpr const wchar_t* kSspi = L"secur32.dll";
  constexpr const wchar_t* kCrypto = L"crypt32.dll";
  INIT_SECURITY_INTERFACE_W init = nullptr;
  TlsApi api{};
  for (Status loaded :
       {LoadInto(init, kSspi, "InitSecurityInterfaceW"),
        LoadInto(api.get_chain, kCrypto, "CertGetCertificateChain"),
        LoadInto(api.verify_chain_policy, kCrypto,
                 "CertVerifyCertificateChainPolicy"),
        LoadInto(api.free_chain, kCrypto, "CertFreeCertificateChain"),
        LoadInto(api.free_certificate, kCrypto,
                 "CertFreeCertificateContext")}) {
    if (!loaded.ok()) return loaded.error();
  }
  api.sspi = init();
  if (api.sspi == nullptr) {
    return FileError("secur32.dll gave no security function table");
  }
  return api;
}

// The functions, loaded by the first call that succeeds and kept for the
// life of the process. A failure is a TLS failure (kNetwork, which keeps
// the partial download); the next connection tries again.
Result<const TlsApi*> TheTlsApi() {
  static std::mutex mutex;
  static std::optional<TlsApi> loaded;
  std::lock_guard<std::mutex> lock(mutex);
  if (!loaded) {
    Result<TlsApi> api = LoadTlsApi();
    if (!api.ok()) {
      Error error = std::move(api).error();
      error.kind = ErrorKind::kNetwork;
      return error;
    }
    loaded = *api;
  }
  return &*loaded;
}

std::string SecurityStatusText(SECURITY_STATUS status) {
  const std::string code = HexCode(static_cast<unsigned long>(status));
  std::string text = Win32ErrorText(static_cast<DWORD>(status));
  if (text.rfind("os error", 0) == 0) return std::string("TLS error ") + code;
  return text + " (" + code + ")";
}

Error CertificateFailed(const std::string& reason) {
  Error error = NetworkError(std::string(kCertificateFailedPrefix) + reason);
  error.cause = Cause::kUntrusted;
  return error;
}

// The reason a chain is not trusted, in the words the OpenSSL build uses;
// empty when its trust status holds no error.
std::string ChainFailure(PCCERT_CHAIN_CONTEXT chain, PCCERT_CONTEXT leaf) {
  // Revocation is not asked for; its "unknown" bits say nothing.
  const DWORD status = chain->TrustStatus.dwErrorStatus &
                       ~(CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                         CERT_TRUST_IS_OFFLINE_REVOCATION);
  if (status == CERT_TRUST_NO_ERROR) return {};
  if (status & CERT_TRUST_IS_NOT_TIME_VALID) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    if (CompareFileTime(&now, &leaf->pCertInfo->NotBefore) < 0) {
      return "certificate is not yet valid";
    }
    return "certificate has expired";
  }
  if (status & CERT_TRUST_IS_REVOKED) return "certificate revoked";
  if (status & CERT_TRUST_IS_PARTIAL_CHAIN) {
    return "unable to get local issuer certificate";
  }
  if (status & CERT_TRUST_IS_UNTRUSTED_ROOT) {
    const bool alone = chain->cChain > 0 && chain->rgpChain[0]->cElement == 1;
    return alone ? "self-signed certificate"
                 : "self-signed certificate in certificate chain";
  }
  if (status & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) {
    return "unsupported certificate purpose";
  }
  if (status & CERT_TRUST_IS_NOT_SIGNATURE_VALID) {
    return "certificate signature failure";
  }
  return "certificate chain not trusted (" +
         HexCode(static_cast<unsigned long>(status)) + ")";
}

// The reason the SSL policy gives, in the same words.
std::string PolicyFailure(DWORD error) {
  switch (static_cast<HRESULT>(error)) {
    case CERT_E_CN_NO_MATCH:
      return "hostname mismatch";
    case CERT_E_EXPIRED:
      return "certificate has expired";
    case CERT_E_UNTRUSTEDROOT:
      return "self-signed certificate";
    case CERT_E_CHAINING:
      return "unable to get local issuer certificate";
    case CERT_E_WRONG_USAGE:
      return "unsupported certificate purpose";
    case CERT_E_REVOKED:
      return "certificate revoked";
    default:
      return SecurityStatusText(static_cast<SECURITY_STATUS>(error));
  }
}

// Checks the server's certificate `leaf` (with the certificates the server
// sent beside it) for `host`.
Status VerifyServer(const TlsApi& api, PCCERT_CONTEXT leaf,
                    const std::string& host) {
  LPSTR usages[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH),
                    const_cast<LPSTR>(szOID_SERVER_GATED_CRYPTO),
                    const_cast<LPSTR>(szOID_SGC_NETSCAPE)};
  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof para;
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
  para.RequestedUsage.Usage.cUsageIdentifier = 3;
  para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (!api.get_chain(nullptr, leaf, nullptr, leaf->hCertStore, &para, 0,
                     nullptr, &chain)) {
    return CertificateFailed(Win32ErrorText(GetLastError()));
  }
  std::string reason = ChainFailure(chain, leaf);
  if (reason.empty()) {
    std::wstring name = Utf8ToWide(host);
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = name.data();
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS outcome{};
    outcome.cbSize = sizeof outcome;
    if (!api.verify_chain_policy(CERT_CHAIN_POLICY_SSL, chain, &policy,
                                 &outcome)) {
      reason = Win32ErrorText(GetLastError());
    } else if (outcome.dwError != 0) {
      reason = PolicyFailure(outcome.dwError);
    }
  }
  api.free_chain(chain);
  if (!reason.empty()) return CertificateFailed(reason);
  return Status::Ok();
}

// SCH_CREDENTIALS where the system knows it (Windows 10 1809 and later,
// needed for TLS 1.3), else the older SCHANNEL_CRED; the protocols are the
// system's defaults either way.
SECURITY_STATUS AcquireCredentials(const SecurityFunctionTableW& sspi,
                                   CredHandle* credentials) {
  const DWORD flags = SCH_CRED_MANUAL_CRED_VALIDATION |
                      SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
  TimeStamp expiry;
  SCH_CREDENTIALS modern{};
  modern.dwVersion = SCH_CREDENTIALS_VERSION;
  modern.dwFlags = flags;
  SECURITY_STATUS status = sspi.AcquireCredentialsHandleW(
      nullptr, const_cast<SEC_WCHAR*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND,
      nullptr, &modern, nullptr, nullptr, credentials, &expiry);
  if (status == SEC_E_OK) return status;
  SCHANNEL_CRED legacy{};
  legacy.dwVersion = SCHANNEL_CRED_VERSION;
  legacy.dwFlags = flags;
  return sspi.AcquireCredentialsHandleW(
      nullptr, const_cast<SEC_WCHAR*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND,
      nullptr, &legacy, nullptr, nullptr, credentials, &expiry);
}

}  // namespace

struct SecureStream::Impl {
  Impl(const TlsApi& a, tcp::socket s, std::chrono::steady_clock::duration idle)
      : api(a),
        sspi(*a.sspi),
        socket(std::move(s)),
        incoming(kReceiveBytes),
        policy(
            socket.get_executor(),
            [this] {
              asio::error_code ignored;
              socket.close(ignored);
            },
            idle) {}

  ~Impl() {
    if (has_context) sspi.DeleteSecurityContext(&context);
    if (has_credentials) sspi.FreeCredentialsHandle(&credentials);
  }

  // Reads more encrypted bytes from the socket after the `used` ones, first
  // moving the undecrypted ones to the front. Called only once every
  // decrypted byte of `incoming` has been handed out. Returns 0 at the end
  // of the stream.
  asio::awaitable<Result<size_t>> ReadMore() {
    if (begin > 0) {
      std::memmove(incoming.data(), incoming.data() + begin, used - begin);
      used -= begin;
      begin = 0;
    }
    if (used == incoming.size()) {
      if (incoming.size() >= kMaxIncomingBytes) {
        co_return NetworkError("TLS record larger than " +
                               std::to_string(kMaxIncomingBytes) + " bytes");
      }
      incoming.resize(incoming.size() * 2);
    }
    auto [ec, n] = co_await socket.async_read_some(
        asio::buffer(incoming.data() + used, incoming.size() - used), kNoThrow);
    Result<size_t> outcome = policy.ReadOutcome(ec, n, ec == asio::error::eof);
    if (outcome.ok()) used += *outcome;
    co_return outcome;
  }

  asio::awaitable<Status> Send(const void* data, size_t size) {
    auto [ec, n] =
        co_await asio::async_write(socket, asio::buffer(data, size), kNoThrow);
    if (ec) co_return policy.Failure(ec);
    co_return Status::Ok();
  }

  // Marks the input up to `extra` (the unprocessed input a call left, if
  // any) as processed.
  void Consumed(const SecBuffer& extra) {
    const bool left = extra.BufferType == SECBUFFER_EXTRA && extra.cbBuffer > 0;
    begin = left ? used - extra.cbBuffer : used;
  }

  // Runs InitializeSecurityContext until the context is complete: the
  // handshake (`first`), or the messages that follow a SEC_I_RENEGOTIATE
  // later on (a TLS 1.3 session ticket, for one). Tokens for the server are
  // sent as they come.
  asio::awaitable<Status> Negotiate(bool first) {
    std::wstring target = Utf8ToWide(host);
    bool need_input = !first && begin == used;
    for (;;) {
      if (need_input) {
        Result<size_t> more = co_await ReadMore();
        if (!more.ok()) co_return std::move(more).error();
        if (*more == 0) co_return NetworkError(kHandshakeEofMessage);
      }
      SecBuffer in[2] = {{static_cast<ULONG>(used - begin), SECBUFFER_TOKEN,
                          incoming.data() + begin},
                         {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc in_desc{SECBUFFER_VERSION, 2, in};
      SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
      SecBufferDesc out_desc{SECBUFFER_VERSION, 1, out};
      ULONG attributes = 0;
      const bool start = first && !has_context;
      SECURITY_STATUS status = sspi.InitializeSecurityContextW(
          &credentials, start ? nullptr : &context, target.data(),
          kContextFlags, 0, 0, start ? nullptr : &in_desc, 0,
          start ? &context : nullptr, &out_desc, &attributes, nullptr);
      if (start && (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK)) {
        has_context = true;
      }
      if (status == SEC_E_INCOMPLETE_MESSAGE) {
        need_input = true;
        continue;
      }
      // A token goes out even with an error: it may be the alert that
      // tells the server why.
      Status sent;
      if (out[0].pvBuffer != nullptr) {
        if (out[0].cbBuffer > 0) {
          sent = co_await Send(out[0].pvBuffer, out[0].cbBuffer);
        }
        sspi.FreeContextBuffer(out[0].pvBuffer);
      }
      if (!start) Consumed(in[1]);
      if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
        co_return NetworkError(SecurityStatusText(status));
      }
      if (!sent.ok()) co_return sent;
      if (status == SEC_E_OK) co_return Status::Ok();
      need_input = begin == used;
    }
  }

  // Decrypts the first record of the undecrypted input in place and points
  // `plain` at its data. Returns false when more input is needed; sets the
  // end of the stream at the close_notify.
  asio::awaitable<Result<bool>> DecryptRecord() {
    SecBuffer buffers[4] = {{static_cast<ULONG>(used - begin), SECBUFFER_DATA,
                             incoming.data() + begin},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
    SECURITY_STATUS status = sspi.DecryptMessage(&context, &desc, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) co_return false;
    if (status == SEC_I_CONTEXT_EXPIRED) {
      policy.set_at_end();
      co_return true;
    }
    if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) {
      co_return NetworkError(SecurityStatusText(status));
    }
    plain = nullptr;
    plain_size = 0;
    SecBuffer none{0, SECBUFFER_EMPTY, nullptr};
    const SecBuffer* extra = &none;
    for (const SecBuffer& b : buffers) {
      if (b.BufferType == SECBUFFER_DATA) {
        plain = static_cast<const char*>(b.pvBuffer);
        plain_size = b.cbBuffer;
      } else if (b.BufferType == SECBUFFER_EXTRA) {
        extra = &b;
      }
    }
    Consumed(*extra);
    if (status == SEC_I_RENEGOTIATE) {
      // The messages that follow may move the input: keep the record's
      // data (if any) apart first.
      renegotiation_data.assign(plain, plain + plain_size);
      plain = renegotiation_data.data();
      Status renegotiated = co_await Negotiate(/*first=*/false);
      if (!renegotiated.ok()) co_return renegotiated.error();
      co_return true;
    }
    // Windows answers a close_notify with SEC_I_CONTEXT_EXPIRED; Wine with
    // SEC_E_OK and no data.
    if (plain_size == 0) policy.set_at_end();
    co_return true;
  }

  const TlsApi& api;
  const SecurityFunctionTableW& sspi;
  std::string host;
  tcp::socket socket;
  CredHandle credentials{};
  bool has_credentials = false;
  CtxtHandle context{};
  bool has_context = false;
  SecPkgContext_StreamSizes sizes{};
  // The bytes received: records decrypted in place before `begin`, not yet
  // decrypted from `begin` to `used`.
  std::vector<char> incoming;
  size_t begin = 0;
  size_t used = 0;
  // Decrypted bytes not yet handed out: in `incoming`, or in
  // `renegotiation_data` for a record that started a renegotiation.
  const char* plain = nullptr;
  size_t plain_size = 0;
  std::vector<char> renegotiation_data;
  // Declared after the socket: destroyed first, so its time-out never sees
  // a destroyed socket.
  StreamPolicy policy;
};

SecureStream::SecureStream(std::unique_ptr<Impl> impl)
    : impl_(std::move(impl)) {}
SecureStream::SecureStream(SecureStream&&) noexcept = default;
SecureStream& SecureStream::operator=(SecureStream&&) noexcept = default;
SecureStream::~SecureStream() = default;

asio::awaitable<Status> SecureStream::WriteAll(asio::const_buffer data) {
  Impl& s = *impl_;
  const char* p = static_cast<const char*>(data.data());
  size_t left = data.size();
  std::vector<char> record;
  while (left > 0) {
    const size_t n = std::min<size_t>(left, s.sizes.cbMaximumMessage);
    record.resize(s.sizes.cbHeader + n + s.sizes.cbTrailer);
    std::memcpy(record.data() + s.sizes.cbHeader, p, n);
    SecBuffer buffers[4] = {
        {s.sizes.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
        {static_cast<ULONG>(n), SECBUFFER_DATA,
         record.data() + s.sizes.cbHeader},
        {s.sizes.cbTrailer, SECBUFFER_STREAM_TRAILER,
         record.data() + s.sizes.cbHeader + n},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
    SECURITY_STATUS status = s.sspi.EncryptMessage(&s.context, 0, &desc, 0);
    if (status != SEC_E_OK) co_return NetworkError(SecurityStatusText(status));
    const size_t total =
        buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer;
    s.policy.Begin();
    Status sent = co_await s.Send(record.data(), total);
    s.policy.End();
    if (!sent.ok()) co_return sent;
    p += n;
    left -= n;
  }
  co_return Status::Ok();
}

asio::awaitable<Result<size_t>> SecureStream::ReadSome(
    asio::mutable_buffer data) {
  Impl& s = *impl_;
  if (data.size() == 0) co_return size_t{0};
  for (;;) {
    if (s.plain_size > 0) {
      const size_t n = std::min(data.size(), s.plain_size);
      std::memcpy(data.data(), s.plain, n);
      s.plain += n;
      s.plain_size -= n;
      co_return n;
    }
    if (s.policy.at_end()) co_return size_t{0};
    if (s.used > s.begin) {
      // A record may start a renegotiation that reads and writes too.
      s.policy.Begin();
      Result<bool> decrypted = co_await s.DecryptRecord();
      s.policy.End();
      if (!decrypted.ok()) co_return std::move(decrypted).error();
      if (*decrypted) continue;
    }
    // A peer that closes the TCP connection without a close_notify ends
    // the stream too: the caller decides whether the data is complete.
    s.policy.Begin();
    Result<size_t> more = co_await s.ReadMore();
    s.policy.End();
    if (!more.ok()) co_return std::move(more).error();
  }
}

void SecureStream::Close() {
  asio::error_code ignored;
  impl_->socket.close(ignored);
}

asio::awaitable<Result<SecureStream>> Secure(
    std::string host, tcp::socket socket,
    std::chrono::steady_clock::time_point deadline,
    std::chrono::steady_clock::duration idle_timeout) {
  Result<const TlsApi*> api = TheTlsApi();
  if (!api.ok()) co_return std::move(api).error();
  auto impl = std::make_unique<SecureStream::Impl>(**api, std::move(socket),
                                                   idle_timeout);
  impl->host = host;
  SECURITY_STATUS status = AcquireCredentials(impl->sspi, &impl->credentials);
  if (status != SEC_E_OK) {
    co_return NetworkError(SecurityStatusText(status));
  }
  impl->has_credentials = true;

  impl->policy.BeginUntil(deadline);
  Status handshake = co_await impl->Negotiate(/*first=*/true);
  impl->policy.End();
  if (impl->policy.timed_out()) co_return NetworkError(kTimedOutMessage);
  if (!handshake.ok()) co_return handshake.error();

  PCCERT_CONTEXT leaf = nullptr;
  status = impl->sspi.QueryContextAttributesW(
      &impl->context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &leaf);
  if (status != SEC_E_OK || leaf == nullptr) {
    co_return CertificateFailed("the server sent no certificate");
  }
  Status verified = VerifyServer(impl->api, leaf, host);
  impl->api.free_certificate(leaf);
  if (!verified.ok()) co_return verified.error();

  status = impl->sspi.QueryContextAttributesW(
      &impl->context, SECPKG_ATTR_STREAM_SIZES, &impl->sizes);
  if (status != SEC_E_OK) co_return NetworkError(SecurityStatusText(status));
  co_return SecureStream(std::move(impl));
}

}  // namespace talvoro
