// Strict decimal parsing of unsigned integers.
#ifndef TALVORO_DOWNLOAD_PARSE_INT_H_
#define TALVORO_DOWNLOAD_PARSE_INT_H_

#include <cstdint>
#include <string_view>

#include "base/error.h"

namespace talvoro {

inline constexpr char kEmptyIntegerMessage[] =
    "cannot parse integer from empty string";
inline constexpr char kInvalidDigitMessage[] = "invalid digit found in string";
inline constexpr char kIntegerTooLargeMessage[] =
    "number too large to fit in target type";

// Parses `text` as an unsigned decimal number no larger than `max`: an
// optional single leading '+', then one or more of the digits 0 to 9 and
// nothing else (no blanks, no '-'). On failure returns an error of `kind`
// whose message is one of the three constants above: empty text, any other
// character (a lone '+' included), or a value above `max`; the first problem
// met reading from left to right decides.
Result<uint64_t> ParseUnsigned(std::string_view text, uint64_t max,
                               ErrorKind kind);

}  // namespace talvoro

#endif  // TALVORO_DOWNLOAD_PARSE_INT_H_
