// Starting the launcher as a separate process, and ending this one.
//
// The platform's process services live behind this header: process_posix.cc
// (posix_spawn) and process_win.cc (CreateProcessW).
#ifndef TALVORO_MAIN_PROCESS_H_
#define TALVORO_MAIN_PROCESS_H_

#include <string>

#include "base/error.h"

namespace talvoro {

// Starts the program at `path` (a full path) as a new process with no
// arguments, this process's environment and current directory. Does not wait
// for it and keeps no handle. Returns an error carrying the system's text
// (for example "No such file or directory") when the process could not be
// created.
Status StartDetachedProcess(const std::string& path);

// Makes the file at `path` startable: the mode rwxr-xr-x on POSIX; nothing
// to do on Windows. Returns the system's error text on failure.
Status MakeExecutable(const std::string& path);

// Flushes the standard streams and ends the process with `code` at once,
// without running destructors that could race the download's worker.
[[noreturn]] void EndProcess(int code);

}  // namespace talvoro

#endif  // TALVORO_MAIN_PROCESS_H_
