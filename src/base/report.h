// The one way the program says what happens.
//
// The engine and the application report through a Reporter, handed to them
// in their options; they never write to the standard streams themselves.
// The program's reporter passes each report on to the standard streams (the
// diagnostic lines, byte for byte), the log for support and the window's
// status; tests hand in their own.
#ifndef TALVORO_BASE_REPORT_H_
#define TALVORO_BASE_REPORT_H_

#include <string_view>

namespace talvoro {

enum class Stream { kOut, kErr };

// Receives the program's reports. Called from any thread (the download's
// worker and the main thread); implementations serialise what they need.
class Reporter {
 public:
  virtual ~Reporter() = default;

  // A diagnostic line, ending in '\n': progress notes and successes on
  // standard output (kOut), failures on standard error (kErr).
  virtual void Line(Stream stream, std::string_view line) = 0;

  // A fact for the log only, without a line break: a request and its
  // answer's status line, byte counts and times, an OS error code. Never a
  // password, a token or a URL's user info.
  virtual void Detail(std::string_view text) = 0;
};

// The standard streams (PrintOut, PrintErr); details are dropped. Lives for
// the whole process.
Reporter& ConsoleReporter();

// `reporter`, or ConsoleReporter() when it is null.
inline Reporter& ReporterOr(Reporter* reporter) {
  return reporter != nullptr ? *reporter : ConsoleReporter();
}

}  // namespace talvoro

#endif  // TALVORO_BASE_REPORT_H_
