#include "main/launcher_signature.h"

namespace talvoro {

// Nothing is ever held on POSIX.
HeldFile& HeldFile::operator=(HeldFile&& other) noexcept {
  std::swap(handle_, other.handle_);
  return *this;
}

HeldFile::~HeldFile() = default;

Result<HeldFile> CheckLauncherSignature(const std::string&,
                                        const std::vector<KeyFingerprint>&) {
  return Error{ErrorKind::kProtocol,
               "programs carry no signature on this system"};
}

}  // namespace talvoro
