// Strings across the border between the program and the C toolkit.
#ifndef TALVORO_UI_SRC_TOOLKIT_STRING_H_
#define TALVORO_UI_SRC_TOOLKIT_STRING_H_

#include <string>
#include <string_view>

#include "base/error.h"

namespace talvoro::ui {

// Returns `text` as a string whose c_str() can be handed to the toolkit, or
// an error if `text` contains a zero byte (the toolkit would cut it there).
Result<std::string> ToToolkitString(std::string_view text);

// Copies a NUL-terminated string from the toolkit. Every ill-formed UTF-8
// sequence (each maximal invalid subpart) becomes U+FFFD (EF BF BD).
// `text` stays owned by the caller.
std::string FromToolkitString(const char* text);

}  // namespace talvoro::ui

#endif  // TALVORO_UI_SRC_TOOLKIT_STRING_H_
