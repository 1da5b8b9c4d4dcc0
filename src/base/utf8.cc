#include "base/utf8.h"

#include <cstdint>

namespace talvoro {

size_t DecodeUtf8Sequence(std::string_view text, size_t* consumed) {
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  const size_t n = text.size();
  *consumed = n == 0 ? 0 : 1;
  if (n == 0) return 0;
  const uint8_t c = s[0];
  if (c < 0x80) return 1;
  size_t len;
  uint8_t lo = 0x80, hi = 0xBF;  // bounds of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;  // no overlong forms
    if (c == 0xED) hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;  // no overlong forms
    if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  for (size_t i = 1; i < len; ++i) {
    if (i >= n) return 0;
    const uint8_t b = s[i];
    const bool ok = i == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
    if (!ok) return 0;
    *consumed = i + 1;
  }
  return len;
}

bool IsValidUtf8(std::string_view text) {
  while (!text.empty()) {
    size_t consumed;
    const size_t len = DecodeUtf8Sequence(text, &consumed);
    if (len == 0) return false;
    text.remove_prefix(len);
  }
  return true;
}

std::string ToValidUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    size_t consumed;
    const size_t len = DecodeUtf8Sequence(text, &consumed);
    if (len != 0) {
      out.append(text.substr(0, len));
      text.remove_prefix(len);
    } else {
      out += "\xEF\xBF\xBD";
      text.remove_prefix(consumed);
    }
  }
  return out;
}

}  // namespace talvoro
