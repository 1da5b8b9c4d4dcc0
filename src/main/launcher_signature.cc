#include "main/launcher_signature.h"

#include <cctype>

namespace talvoro {

Result<std::vector<KeyFingerprint>> ParseSignerList(std::string_view text) {
  std::vector<KeyFingerprint> signers;
  constexpr std::string_view kSeparators = "; \t\r\n";
  for (;;) {
    const size_t begin = text.find_first_not_of(kSeparators);
    if (begin == std::string_view::npos) break;
    text.remove_prefix(begin);
    const std::string_view item =
        text.substr(0, text.find_first_of(kSeparators));
    text.remove_prefix(item.size());
    KeyFingerprint key{};
    bool good = item.size() == 2 * key.size();
    for (size_t i = 0; good && i < item.size(); ++i) {
      const char c =
          static_cast<char>(std::tolower(static_cast<unsigned char>(item[i])));
      const int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                               : -1;
      good = digit >= 0;
      key[i / 2] = static_cast<uint8_t>(key[i / 2] << 4 | (digit & 15));
    }
    if (!good) {
      return StartupError("bad signer fingerprint: " + std::string(item));
    }
    signers.push_back(key);
  }
  return signers;
}

}  // namespace talvoro
