// UTF-8 validation and repair, shared by the download engine (server
// answers, the ETag sidecar) and the window (the toolkit's texts).
#ifndef TALVORO_BASE_UTF8_H_
#define TALVORO_BASE_UTF8_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace talvoro {

// Length of the well-formed UTF-8 sequence that starts `text` (1 to 4), or
// 0 if `text` does not start with one. In either case `*consumed` is set to
// the length of the maximal subpart of a sequence found there (at least 1
// for a non-empty `text`): the bytes that one U+FFFD stands for.
// Overlong forms, surrogates and values above U+10FFFF are not well formed.
size_t DecodeUtf8Sequence(std::string_view text, size_t* consumed);

// Whether `text` is entirely well-formed UTF-8.
bool IsValidUtf8(std::string_view text);

// `text` with each maximal ill-formed subpart replaced by U+FFFD
// (EF BF BD); well-formed text comes back unchanged.
std::string ToValidUtf8(std::string_view text);

}  // namespace talvoro

#endif  // TALVORO_BASE_UTF8_H_
