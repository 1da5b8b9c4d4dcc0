// The one line of text the window shows over its picture: what went wrong
// and when the next attempt comes, or that the server keeps the download
// waiting. Chinese for a user whose language is Chinese, English otherwise.
#ifndef TALVORO_MAIN_STATUS_TEXT_H_
#define TALVORO_MAIN_STATUS_TEXT_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "base/error.h"
#include "download/download_status.h"

namespace talvoro {

enum class Language { kEnglish, kChinese };

// The user's language for the window's text: on Windows the user's UI
// language, elsewhere the locale's messages category (LC_ALL, then
// LC_MESSAGES, then LANG; the first one set decides). Chinese when it is
// Chinese, English otherwise.
Language UserLanguage();

// The language a locale name ("zh_CN.UTF-8", "C", ...) stands for; the
// first of `lc_all`, `lc_messages` and `lang` that is set and not empty
// decides (null: unset).
Language LanguageOfLocale(const char* lc_all, const char* lc_messages,
                          const char* lang);

// What the user is told a failed attempt was.
enum class Trouble {
  kUnreachable,   // no network, name not resolved, refused, timed out
  kServerBusy,    // 5xx, 429
  kProxyRefused,  // the proxy refused the tunnel
  kProxySignIn,   // the proxy asks for a sign-in
  kUntrusted,     // the certificate did not verify
  kNoSpace,       // the disk is full
  kFolder,        // the working folder cannot be written
  kDamaged,       // the file failed its check
  kRejected,      // the server still offers a file that failed its check
  kFailed,        // anything else
};

// The trouble of an attempt that ended in the failed `phase` with `error`
// (null: none came with the phase, as after a CRC mismatch). The error's
// cause decides where it is set; otherwise its kind: a kFile error on a
// path inside `folder` is kFolder.
Trouble TroubleOf(Phase phase, const Error* error, std::string_view folder);

// The line shown during the pause after such an attempt, `seconds` before
// the next one, e.g. "Can't reach the download server. Retrying in 12 s."
// `folder` is the working folder (named by kFolder).
std::string PauseLine(Language language, Phase phase, const Error* error,
                      std::string_view folder, int64_t seconds);

// The line shown while a connected download has received no byte for
// kWaitingAfter.
std::string WaitingLine(Language language);

// The message of a refusal at start: the working folder's path is too long
// for the launcher to be started from it.
std::string FolderTooLongLine(Language language, std::string_view folder);

}  // namespace talvoro

#endif  // TALVORO_MAIN_STATUS_TEXT_H_
