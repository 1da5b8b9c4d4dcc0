#include "download/parse_int.h"

namespace talvoro {

Result<uint64_t> ParseUnsigned(std::string_view text, uint64_t max,
                               ErrorKind kind) {
  if (text.empty()) return Error{kind, kEmptyIntegerMessage};
  if (text.front() == '+') {
    text.remove_prefix(1);
    if (text.empty()) return Error{kind, kInvalidDigitMessage};
  }
  // Digits are taken from left to right and the first problem found wins:
  // "99999x" is too large for 16 bits before the 'x' is reached.
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return Error{kind, kInvalidDigitMessage};
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > max / 10 || value * 10 > max - digit) {
      return Error{kind, kIntegerTooLargeMessage};
    }
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace talvoro
