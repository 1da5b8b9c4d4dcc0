// The program's diagnostic lines on the standard streams.
#ifndef TALVORO_BASE_CONSOLE_H_
#define TALVORO_BASE_CONSOLE_H_

#include <string_view>

namespace talvoro {

// Writes `text` to standard output, or standard error, with one call (so
// that it is not interleaved with other threads' lines) and flushes it.
// The bytes go out as they are: on Windows the streams are put in binary
// mode before the first line, so a line ends in a bare line feed there too.
void PrintOut(std::string_view text);
void PrintErr(std::string_view text);

// Puts standard output and standard error in binary mode where the C
// runtime would translate line feeds (Windows); does nothing elsewhere.
// PrintOut and PrintErr call it; a program that writes to the streams
// otherwise calls it first.
void UseBinaryStandardStreams();

}  // namespace talvoro

#endif  // TALVORO_BASE_CONSOLE_H_
