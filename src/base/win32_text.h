// Text at the border to the Win32 API, which speaks UTF-16. Windows only.
#ifndef TALVORO_BASE_WIN32_TEXT_H_
#define TALVORO_BASE_WIN32_TEXT_H_

#include <string>
#include <string_view>

namespace talvoro {

// `text` (UTF-8) as UTF-16. Ill-formed sequences become U+FFFD.
std::wstring Utf8ToWide(std::string_view text);

// `text` (UTF-16) as UTF-8. Unpaired surrogates become U+FFFD.
std::string WideToUtf8(std::wstring_view text);

// The system's description of the Win32 error `code` in the user's
// language, as UTF-8, without the line break at its end; "os error <code>"
// when the system has none.
std::string Win32ErrorText(unsigned long code);

// `code` as "0x" and 8 upper-case hexadecimal digits, as Windows writes
// its error codes. (The program does without the printf family: its
// formatter would make up a tenth of the program.)
std::string HexCode(unsigned long code);

}  // namespace talvoro

#endif  // TALVORO_BASE_WIN32_TEXT_H_
