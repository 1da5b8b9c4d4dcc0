// Authenticode through WinVerifyTrust, with the signer's chain checked again
// by CryptoAPI. wintrust and crypt32 are loaded from System32 at run time.
// clang-format off
#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>
// clang-format on

#include <algorithm>
#include <type_traits>

#include "base/system_library.h"
#include "base/win32_text.h"
#include "main/launcher_signature.h"

namespace talvoro {

HeldFile& HeldFile::operator=(HeldFile&& other) noexcept {
  std::swap(handle_, other.handle_);
  return *this;
}

HeldFile::~HeldFile() {
  if (handle_ != nullptr) CloseHandle(static_cast<HANDLE>(handle_));
}

namespace {

// The functions used, from wintrust.dll and crypt32.dll.
struct TrustApi {
  decltype(&WinVerifyTrust) verify_trust;
  decltype(&WTHelperProvDataFromStateData) provider_data;
  decltype(&WTHelperGetProvSignerFromChain) provider_signer;
  decltype(&CertGetCertificateChain) get_chain;
  decltype(&CertVerifyCertificateChainPolicy) verify_policy;
  decltype(&CertFreeCertificateChain) free_chain;
  decltype(&CryptEncodeObjectEx) encode;
  decltype(&CryptHashCertificate2) hash;
};

Result<TrustApi> LoadTrustApi() {
  TrustApi api{};
  Status loaded;
  auto load = [&](auto& slot, const wchar_t* library, const char* name) {
    if (!loaded.ok()) return;
    using F = std::remove_pointer_t<std::remove_reference_t<decltype(slot)>>;
    Result<F*> function = SystemFunctionOf<F>(library, name);
    if (function.ok()) {
      slot = *function;
    } else {
      loaded = function.error();
    }
  };
  load(api.verify_trust, L"wintrust.dll", "WinVerifyTrust");
  load(api.provider_data, L"wintrust.dll", "WTHelperProvDataFromStateData");
  load(api.provider_signer, L"wintrust.dll", "WTHelperGetProvSignerFromChain");
  load(api.get_chain, L"crypt32.dll", "CertGetCertificateChain");
  load(api.verify_policy, L"crypt32.dll", "CertVerifyCertificateChainPolicy");
  load(api.free_chain, L"crypt32.dll", "CertFreeCertificateChain");
  load(api.encode, L"crypt32.dll", "CryptEncodeObjectEx");
  load(api.hash, L"crypt32.dll", "CryptHashCertificate2");
  if (!loaded.ok()) return loaded.error();
  return api;
}

Error TrustError(std::string reason) {
  return Error{ErrorKind::kProtocol, std::move(reason)};
}

// The reason for a failed check with the code `code` (an HRESULT of
// WinVerifyTrust or of a chain policy).
Error TrustFailure(LONG code) {
  switch (static_cast<HRESULT>(code)) {
    case TRUST_E_NOSIGNATURE:
    case TRUST_E_SUBJECT_FORM_UNKNOWN:
      return TrustError("not signed");
    case TRUST_E_BAD_DIGEST:
      return TrustError("bad digest");
    case CERT_E_UNTRUSTEDROOT:
    case CERT_E_UNTRUSTEDTESTROOT:
    case CERT_E_CHAINING:
      return TrustError("untrusted root");
    default:
      break;
  }
  return TrustError(Win32ErrorText(static_cast<unsigned long>(code)) + " (" +
                    HexCode(static_cast<unsigned long>(code)) + ")");
}

// The SHA-256 of the DER SubjectPublicKeyInfo of `certificate`.
Result<KeyFingerprint> KeyOf(const TrustApi& api, PCCERT_CONTEXT certificate) {
  BYTE* der = nullptr;
  DWORD der_size = 0;
  if (!api.encode(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO,
                  &certificate->pCertInfo->SubjectPublicKeyInfo,
                  CRYPT_ENCODE_ALLOC_FLAG, nullptr, &der, &der_size)) {
    return TrustFailure(static_cast<LONG>(GetLastError()));
  }
  KeyFingerprint key{};
  DWORD key_size = key.size();
  const BOOL hashed =
      api.hash(L"SHA256", 0, nullptr, der, der_size, key.data(), &key_size);
  const DWORD error = GetLastError();
  LocalFree(der);
  if (!hashed || key_size != key.size()) {
    return TrustFailure(static_cast<LONG>(error));
  }
  return key;
}

// The signer's chain built again for code signing and checked with the
// Authenticode policy, whatever WinVerifyTrust made of it. Time validity
// is WinVerifyTrust's to judge (a timestamp keeps an expired signer good);
// revocation that cannot be looked up offline does not fail the check.
Status CheckSignerChain(const TrustApi& api, PCCERT_CONTEXT signer) {
  char code_signing[] = szOID_PKIX_KP_CODE_SIGNING;
  LPSTR usages[] = {code_signing};
  CERT_CHAIN_PARA chain_para{};
  chain_para.cbSize = sizeof chain_para;
  chain_para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  chain_para.RequestedUsage.Usage.cUsageIdentifier = 1;
  chain_para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (!api.get_chain(nullptr, signer, nullptr, signer->hCertStore, &chain_para,
                     CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT |
                         CERT_CHAIN_REVOCATION_CHECK_CACHE_ONLY,
                     nullptr, &chain)) {
    return TrustFailure(static_cast<LONG>(GetLastError()));
  }
  constexpr DWORD kNotJudgedHere =
      CERT_TRUST_IS_NOT_TIME_VALID | CERT_TRUST_IS_NOT_TIME_NESTED |
      CERT_TRUST_CTL_IS_NOT_TIME_VALID | CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
      CERT_TRUST_IS_OFFLINE_REVOCATION;
  const DWORD errors = chain->TrustStatus.dwErrorStatus & ~kNotJudgedHere;
  Status result;
  if (errors & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN)) {
    result = TrustError("untrusted root");
  } else if (errors & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) {
    result = TrustError("signer not valid for code signing");
  } else if (errors & CERT_TRUST_IS_REVOKED) {
    result = TrustError("signer revoked");
  } else if (errors != 0) {
    result = TrustError("signer chain not valid (" + HexCode(errors) + ")");
  } else {
    CERT_CHAIN_POLICY_PARA policy_para{};
    policy_para.cbSize = sizeof policy_para;
    policy_para.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS |
                          CERT_CHAIN_POLICY_IGNORE_NOT_TIME_VALID_FLAG;
    CERT_CHAIN_POLICY_STATUS policy{};
    policy.cbSize = sizeof policy;
    if (!api.verify_policy(CERT_CHAIN_POLICY_AUTHENTICODE, chain, &policy_para,
                           &policy)) {
      result = TrustFailure(static_cast<LONG>(GetLastError()));
    } else if (policy.dwError != 0) {
      result = TrustFailure(static_cast<LONG>(policy.dwError));
    }
  }
  api.free_chain(chain);
  return result;
}

// What WinVerifyTrust's verified state says of the signer: its chain and
// its key.
Status CheckSigner(const TrustApi& api, HANDLE state,
                   const std::vector<KeyFingerprint>& signers) {
  CRYPT_PROVIDER_DATA* provider = api.provider_data(state);
  CRYPT_PROVIDER_SGNR* signer =
      provider ? api.provider_signer(provider, 0, FALSE, 0) : nullptr;
  if (signer == nullptr || signer->csCertChain == 0 ||
      signer->pasCertChain == nullptr ||
      signer->pasCertChain[0].pCert == nullptr) {
    return TrustError("not signed");
  }
  PCCERT_CONTEXT certificate = signer->pasCertChain[0].pCert;
  Status chain = CheckSignerChain(api, certificate);
  if (!chain.ok()) return chain;
  Result<KeyFingerprint> key = KeyOf(api, certificate);
  if (!key.ok()) return key.error();
  if (std::find(signers.begin(), signers.end(), *key) == signers.end()) {
    return TrustError("signer not allowed");
  }
  return Status::Ok();
}

}  // namespace

Result<HeldFile> CheckLauncherSignature(
    const std::string& path, const std::vector<KeyFingerprint>& signers) {
  static const Result<TrustApi> loaded = LoadTrustApi();
  if (!loaded.ok()) return loaded.error();
  const TrustApi& api = loaded.value();

  // Read and delete sharing only: the file can be started and renamed but
  // not written while it is held.
  const std::wstring wide = Utf8ToWide(path);
  HANDLE handle = CreateFileW(wide.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    return Error{ErrorKind::kFile, Win32ErrorText(code),
                 static_cast<int>(code)};
  }
  HeldFile held(handle);

  WINTRUST_FILE_INFO file{};
  file.cbStruct = sizeof file;
  file.pcwszFilePath = wide.c_str();
  file.hFile = handle;
  WINTRUST_DATA data{};
  data.cbStruct = sizeof data;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const HWND no_window = static_cast<HWND>(INVALID_HANDLE_VALUE);
  const LONG trust = api.verify_trust(no_window, &action, &data);
  Status checked;
  // Revocation that cannot be looked up offline is left to the chain check
  // below, which tolerates it.
  if (trust != 0 && trust != static_cast<LONG>(CERT_E_REVOCATION_FAILURE)) {
    checked = TrustFailure(trust);
  } else {
    checked = CheckSigner(api, data.hWVTStateData, signers);
  }
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  api.verify_trust(no_window, &action, &data);
  if (!checked.ok()) return checked.error();
  return held;
}

}  // namespace talvoro
