// One copy of the bootstrap per working folder.
//
// Two copies in one folder (a double click) would download into the same
// files. The first copy holds a lock on the folder for as long as it runs,
// one that the system drops with the process, so a copy that crashed
// leaves nothing stale behind: instance_posix.cc locks the folder itself
// (flock), instance_win.cc holds a named mutex in the session's namespace
// keyed by the folder. No file is created for it.
#ifndef TALVORO_MAIN_INSTANCE_H_
#define TALVORO_MAIN_INSTANCE_H_

#include <string>

namespace talvoro {

// The line a second copy prints on standard output before it ends.
inline constexpr char kAlreadyRunningLine[] =
    "已有一个副本在此文件夹中运行，本副本退出\n";

// Takes the lock of `folder` for the rest of the process. Returns false
// when another process holds it. When the lock cannot be taken for another
// reason (a folder that cannot be opened), returns true: the copy goes on
// as it always did. Programs this process starts do not inherit the lock.
bool ClaimFolder(const std::string& folder);

// Brings the window titled `window_title` of the copy that holds the lock
// to the front where the platform allows it (Windows; not on X11 without a
// window manager's help). Never waits for that copy, which may be busy.
void BringRunningCopyForward(const std::string& window_title);

}  // namespace talvoro

#endif  // TALVORO_MAIN_INSTANCE_H_
