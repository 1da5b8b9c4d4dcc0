#include "download/text.h"

#include <cstdint>
#include <cstdio>

namespace talvoro {

namespace {

// Returns the length of the white-space character at the start of `text`,
// or 0 if it does not start with one.
size_t LeadingSpace(std::string_view t) {
  if (t.empty()) return 0;
  const auto b = [&](size_t i) { return static_cast<uint8_t>(t[i]); };
  const uint8_t c = b(0);
  if (c == ' ' || (c >= 0x09 && c <= 0x0d)) return 1;
  if (c == 0xc2 && t.size() >= 2 && (b(1) == 0x85 || b(1) == 0xa0)) return 2;
  if (t.size() < 3) return 0;
  if (c == 0xe1 && b(1) == 0x9a && b(2) == 0x80) return 3;  // U+1680
  if (c == 0xe2 && b(1) == 0x80) {
    const uint8_t d = b(2);
    if ((d >= 0x80 && d <= 0x8a) || d == 0xa8 || d == 0xa9 || d == 0xaf) {
      return 3;
    }
  }
  if (c == 0xe2 && b(1) == 0x81 && b(2) == 0x9f) return 3;  // U+205F
  if (c == 0xe3 && b(1) == 0x80 && b(2) == 0x80) return 3;  // U+3000
  return 0;
}

// Returns the length of the white-space character at the end of `text`.
size_t TrailingSpace(std::string_view t) {
  for (size_t len = 1; len <= 3 && len <= t.size(); ++len) {
    if (LeadingSpace(t.substr(t.size() - len)) == len) return len;
  }
  return 0;
}

}  // namespace

std::string_view TrimWhiteSpace(std::string_view text) {
  while (size_t n = LeadingSpace(text)) text.remove_prefix(n);
  while (size_t n = TrailingSpace(text)) text.remove_suffix(n);
  return text;
}

}  // namespace talvoro
