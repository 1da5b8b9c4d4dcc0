// Starting the launcher as a separate process, and ending this one.
//
// The platform's process services live behind this header: process_posix.cc
// (posix_spawn) and process_win.cc (CreateProcessW).
#ifndef TALVORO_MAIN_PROCESS_H_
#define TALVORO_MAIN_PROCESS_H_

#include <string>

#include "base/error.h"

namespace talvoro {

// Makes the process safe to run in whatever state it was started in; the
// program's first statement, before anything opens a file, a connection or
// a DLL. On POSIX: any of descriptors 0, 1 and 2 that is closed is opened
// on /dev/null (so that no later file or connection takes its number and
// receives the diagnostic lines), and SIGPIPE is ignored (a reader of
// standard output that went away must not end the program). On Windows:
// DLLs are searched for in System32 only, for the program's own loads and
// for those that system components make by name, and the search path's
// safe mode is made permanent; then the DLLs that system components load
// by bare name, bypassing that order (uxtheme, dwmapi, version, cryptbase,
// cryptsp, userenv, propsys, oleacc, apphelp, profapi, clbcatq, comres,
// setupapi), are loaded from System32, those the system has.
void PrepareProcess();

// Starts the program at `path` (a full path) as a new process with no
// arguments, this process's environment and current directory (and, on
// POSIX, every signal at its default action). Does not wait for it and keeps
// no handle. Returns an error carrying the system's text
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
