// The bootstrap's own file operations: clean-up after a failed download and
// putting the verified launcher in place.
//
// Every path is the working folder that the caller passes joined with one
// of the names of working_files.h. Nothing here is fatal: each failure is
// one line on standard error and the operation goes on.
#ifndef TALVORO_MAIN_HANDOFF_H_
#define TALVORO_MAIN_HANDOFF_H_

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "base/report.h"
#include "main/launcher_signature.h"
#include "main/working_files.h"

namespace talvoro {

// The current directory joined with `name`. If the current directory cannot
// be read, `name` alone (relative to it). With an empty `name`, the working
// folder as the hand-off takes it (ending with kPathSeparator).
std::string PathInCurrentDir(std::string_view name);

// Deletes the download target and its ETag sidecar in `folder` (which ends
// with kPathSeparator; empty: the current directory). Both deletions are
// always attempted; a failure (a missing file too) reports
// "删除文件失败: " or "删除ETag文件失败: " and the system's text on stderr
// to `reporter` (null: the standard streams).
void CleanUpDownload(const std::string& folder = {},
                     Reporter* reporter = nullptr);

// How the hand-off is made. The program passes its signer list and a pause
// that keeps the window alive; tests shorten the times.
struct HandOffOptions {
  // The working folder, ending with kPathSeparator; empty: the current
  // directory.
  std::string folder;
  // The launcher's accepted signers (see launcher_signature.h); empty: no
  // check.
  std::vector<KeyFingerprint> signers;
  // While another program holds the launcher (a scanner that opened it, the
  // launcher itself running), deleting and replacing it is tried again,
  // every 100 ms, until this long after the hand-off began.
  std::chrono::milliseconds busy_limit{5000};
  // Waits between two such tries; empty: sleeps.
  std::function<void(std::chrono::milliseconds)> pause;
  // Where the lines below go; null: the standard streams.
  Reporter* reporter = nullptr;
};

// Replaces the launcher with a copy of the download target (which stays),
// both in `options.folder`, and starts it without waiting. The copy is made
// and made executable as kLauncherTempName first; only then is the launcher
// deleted and the copy renamed over it. Prints "Setup executable started
// successfully" on stdout, or one of "Failed to delete existing file: ",
// "Failed to copy file: ", "Failed to start setup executable: " with the
// system's text on stderr (a step that another program blocks is tried
// again first, see HandOffOptions). A copy that cannot be made leaves the
// launcher as it was; the launcher path is never partly written; the start
// is attempted regardless. Returns true.
//
// With `options.signers`, the copy is checked before it replaces anything
// and is held unwritable until it has been started; a copy that fails the
// check is deleted, "launcher signature check failed: " and the reason are
// printed on stderr, and false comes back: nothing was replaced and nothing
// started. When the copy cannot be made or moved into place, whatever is at
// the launcher path is started only if it passes the same check (else the
// line is printed and nothing is started); true comes back then.
bool InstallAndStartLauncher(const HandOffOptions& options = {});

}  // namespace talvoro

#endif  // TALVORO_MAIN_HANDOFF_H_
