// Ending the process on an error value the program cannot continue without.
#ifndef TALVORO_UI_SRC_FATAL_H_
#define TALVORO_UI_SRC_FATAL_H_

#include <string_view>

namespace talvoro::ui {

// The text of every fatal error that stems from an error value the program
// cannot continue without (a failed toolkit start, a poisoned lock, a string
// the toolkit cannot take).
inline constexpr std::string_view kUnwrapFailed =
    "called `Result::unwrap()` on an `Err` value";

// Prints `message` and a line feed on stderr and aborts the process.
[[noreturn]] void Fatal(std::string_view message);

}  // namespace talvoro::ui

#endif  // TALVORO_UI_SRC_FATAL_H_
