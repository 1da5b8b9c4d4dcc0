// The sign-in to a proxy on Windows: Negotiate, then NTLM, as the
// logged-on user through SSPI, then Basic with the credentials of the
// proxy's address. NTLM's exchange is bound to its connection, which the
// tunnel code keeps across the 407 when the proxy allows it.
//
// Negotiate may have no credentials to offer (no domain, or under Wine:
// SEC_E_NO_CREDENTIALS from the first step); the sign-in then goes on with
// the next scheme the proxy offered. secur32 is loaded from System32
// (base/system_library.h), never imported.
#include <windows.h>
#define SECURITY_WIN32
#include <security.h>
#include <sspi.h>

#include "base/system_library.h"
#include "base/win32_text.h"
#include "download/proxy_auth.h"

namespace talvoro {

namespace {

constexpr ULONG kContextFlags = ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_CONNECTION;

Result<const SecurityFunctionTableW*> SspiTable() {
  auto init = SystemFunctionOf<INIT_SECURITY_INTERFACE_W>(
      L"secur32.dll", "InitSecurityInterfaceW");
  if (!init.ok()) return std::move(init).error();
  const SecurityFunctionTableW* table = (*init)();
  if (table == nullptr) {
    return NetworkError("secur32.dll gave no security function table");
  }
  return table;
}

class SspiSignIn : public ProxySignIn {
 public:
  SspiSignIn(const ProxyServer& proxy, const SignInIdentity* identity)
      : proxy_(proxy), target_(Utf8ToWide("HTTP/" + proxy.host)) {
    if (identity != nullptr) {
      user_ = Utf8ToWide(identity->user);
      domain_ = Utf8ToWide(identity->domain);
      password_ = Utf8ToWide(identity->password);
      explicit_identity_ = true;
    }
  }
  ~SspiSignIn() override { End(); }

  Result<std::string> Respond(
      const std::vector<AuthChallenge>& challenges) override {
    if (!package_.empty()) {
      const AuthChallenge* challenge = FindChallenge(challenges, package_);
      if (challenge != nullptr && !challenge->token.empty()) {
        Result<std::string> token = Step(challenge->token);
        if (token.ok()) return package_ + " " + *token;
        failure_ = std::move(token).error().message;
      } else {
        failure_ = "the " + package_ + " sign-in as the user was refused";
      }
      End();
    }
    for (const char* package : {"Negotiate", "NTLM"}) {
      if (FindChallenge(challenges, package) == nullptr) continue;
      if (tried_.find("," + std::string(package)) != std::string::npos) {
        continue;
      }
      tried_ += "," + std::string(package);
      Result<std::string> token = Start(package);
      if (token.ok()) return std::string(package) + " " + *token;
      failure_ = std::move(token).error().message;
      End();
    }
    return RespondWithBasic(proxy_, challenges, &basic_sent_, failure_);
  }

 private:
  // Acquires the credentials for `package` and makes its first token.
  Result<std::string> Start(const std::string& package) {
    if (!sspi_) {
      Result<const SecurityFunctionTableW*> table = SspiTable();
      if (!table.ok()) return std::move(table).error();
      sspi_ = *table;
    }
    package_ = package;
    SEC_WINNT_AUTH_IDENTITY_W identity{};
    if (explicit_identity_) {
      identity.User = reinterpret_cast<unsigned short*>(user_.data());
      identity.UserLength = static_cast<unsigned long>(user_.size());
      identity.Domain = reinterpret_cast<unsigned short*>(domain_.data());
      identity.DomainLength = static_cast<unsigned long>(domain_.size());
      identity.Password = reinterpret_cast<unsigned short*>(password_.data());
      identity.PasswordLength = static_cast<unsigned long>(password_.size());
      identity.Flags = SEC_WINNT_AUTH_IDENTITY_UNICODE;
    }
    std::wstring name = Utf8ToWide(package);
    TimeStamp expiry;
    const SECURITY_STATUS status = sspi_->AcquireCredentialsHandleW(
        nullptr, name.data(), SECPKG_CRED_OUTBOUND, nullptr,
        explicit_identity_ ? &identity : nullptr, nullptr, nullptr,
        &credentials_, &expiry);
    if (status != SEC_E_OK) return Failed(status);
    have_credentials_ = true;
    return Step({});
  }

  // The next token of the exchange, from the proxy's `challenge` (base64;
  // empty for the first).
  Result<std::string> Step(std::string_view challenge) {
    std::optional<std::string> input = Base64Decode(challenge);
    if (!input) {
      return NetworkError("the proxy's " + package_ + " challenge is garbled");
    }
    SecBuffer in_buffer{static_cast<unsigned long>(input->size()),
                        SECBUFFER_TOKEN, input->data()};
    SecBufferDesc in_desc{SECBUFFER_VERSION, 1, &in_buffer};
    SecBuffer out_buffer{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc out_desc{SECBUFFER_VERSION, 1, &out_buffer};
    ULONG attributes = 0;
    TimeStamp expiry;
    SECURITY_STATUS status = sspi_->InitializeSecurityContextW(
        &credentials_, have_context_ ? &context_ : nullptr, target_.data(),
        kContextFlags, 0, SECURITY_NATIVE_DREP,
        have_context_ ? &in_desc : nullptr, 0, &context_, &out_desc,
        &attributes, &expiry);
    if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED ||
        status == SEC_I_COMPLETE_NEEDED ||
        status == SEC_I_COMPLETE_AND_CONTINUE) {
      have_context_ = true;
    }
    if ((status == SEC_I_COMPLETE_NEEDED ||
         status == SEC_I_COMPLETE_AND_CONTINUE) &&
        sspi_->CompleteAuthToken != nullptr) {
      status = sspi_->CompleteAuthToken(&context_, &out_desc);
    }
    std::string token;
    if (out_buffer.pvBuffer != nullptr) {
      token = Base64Encode(std::string_view(
          static_cast<const char*>(out_buffer.pvBuffer), out_buffer.cbBuffer));
      sspi_->FreeContextBuffer(out_buffer.pvBuffer);
    }
    if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
      return Failed(status);
    }
    if (token.empty()) return Failed(SEC_E_INTERNAL_ERROR);
    return token;
  }

  Error Failed(SECURITY_STATUS status) {
    return NetworkError("the " + package_ + " sign-in as the user failed (" +
                        HexCode(static_cast<unsigned long>(status)) + ")");
  }

  // Releases the exchange under way.
  void End() {
    if (have_context_) sspi_->DeleteSecurityContext(&context_);
    if (have_credentials_) sspi_->FreeCredentialsHandle(&credentials_);
    have_context_ = have_credentials_ = false;
    package_.clear();
  }

  ProxyServer proxy_;
  std::wstring target_;  // the proxy's service name, "HTTP/host"
  bool explicit_identity_ = false;
  std::wstring user_, domain_, password_;
  const SecurityFunctionTableW* sspi_ = nullptr;
  std::string package_;  // of the exchange under way; empty: none
  std::string tried_;    // ",Negotiate,NTLM" as they were started
  std::string failure_;  // why the last exchange ended
  CredHandle credentials_{};
  CtxtHandle context_{};
  bool have_credentials_ = false;
  bool have_context_ = false;
  bool basic_sent_ = false;
};

}  // namespace

std::unique_ptr<ProxySignIn> NewProxySignIn(const ProxyServer& proxy,
                                            const SignInIdentity* identity) {
  return std::make_unique<SspiSignIn>(proxy, identity);
}

}  // namespace talvoro
