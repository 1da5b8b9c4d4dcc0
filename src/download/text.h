// Small text helpers of the download engine.
#ifndef TALVORO_DOWNLOAD_TEXT_H_
#define TALVORO_DOWNLOAD_TEXT_H_

#include <string_view>

#include "base/console.h"  // PrintOut, PrintErr
#include "base/utf8.h"     // IsValidUtf8

namespace talvoro {

// The error text for a server answer or an ETag sidecar that is not valid
// UTF-8 (IsValidUtf8 of base/utf8.h says which).
inline constexpr char kInvalidUtf8Message[] =
    "stream did not contain valid UTF-8";

// Returns `text` without the white space at both ends: ASCII blanks, tabs,
// line breaks, vertical tab and form feed, and the Unicode white-space
// characters (U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029,
// U+202F, U+205F, U+3000) encoded in UTF-8.
std::string_view TrimWhiteSpace(std::string_view text);

}  // namespace talvoro

#endif  // TALVORO_DOWNLOAD_TEXT_H_
