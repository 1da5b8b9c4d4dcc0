// The publisher's signature on the launcher: which signers the program
// accepts, and the check of a file against them before it is started.
//
// The platform's signature service lives behind this header:
// launcher_signature_win.cc (Authenticode through WinVerifyTrust and
// CryptoAPI) and launcher_signature_posix.cc (POSIX has no signature format
// for programs; a build there accepts no signer list).
#ifndef TALVORO_MAIN_LAUNCHER_SIGNATURE_H_
#define TALVORO_MAIN_LAUNCHER_SIGNATURE_H_

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"

namespace talvoro {

// The SHA-256 of a signer's public key: of the DER SubjectPublicKeyInfo of
// the signing certificate.
using KeyFingerprint = std::array<uint8_t, 32>;

// Parses a signer list: fingerprints of 64 hexadecimal digits (either
// case) separated by ';' or blanks. An empty text is the empty list (no
// check). Errors (kStartup): "bad signer fingerprint: <item>".
Result<std::vector<KeyFingerprint>> ParseSignerList(std::string_view text);

// A file that was checked, held open so that nobody can write to it while
// this object lives. It may still be renamed and read (and started). Moves
// only; closes the file when destroyed.
class HeldFile {
 public:
  HeldFile() = default;
  explicit HeldFile(void* handle) : handle_(handle) {}
  HeldFile(HeldFile&& other) noexcept : handle_(other.handle_) {
    other.handle_ = nullptr;
  }
  HeldFile& operator=(HeldFile&& other) noexcept;
  ~HeldFile();

 private:
  void* handle_ = nullptr;
};

// The message printed on standard error, followed by the reason and a line
// feed, when a file fails CheckLauncherSignature.
inline constexpr char kSignatureFailedPrefix[] =
    "launcher signature check failed: ";

// Opens the file at `path` so that nobody can write it, and checks that it
// carries a valid signature whose chain ends in a root the system trusts
// (revocation looked up in the system's cache only) and whose signing
// certificate's key is in `signers`. Returns the held file, or an error
// whose text is the reason: "not signed", "bad digest" (the file changed
// after signing), "untrusted root", "signer not allowed", or the system's
// text for any other failure. `signers` must not be empty.
Result<HeldFile> CheckLauncherSignature(
    const std::string& path, const std::vector<KeyFingerprint>& signers);

}  // namespace talvoro

#endif  // TALVORO_MAIN_LAUNCHER_SIGNATURE_H_
