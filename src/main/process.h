// Starting the launcher as a separate process.
//
// The platform's process creation lives behind this header: process_posix.cc
// on Linux; a Windows implementation can sit beside it.
#ifndef TALVORO_MAIN_PROCESS_H_
#define TALVORO_MAIN_PROCESS_H_

#include <string>

#include "download/error.h"

namespace talvoro {

// Starts the program at `path` (a full path) as a new process with no
// arguments, this process's environment and current directory. Does not wait
// for it and keeps no handle. Returns an error carrying the system's text
// (for example "No such file or directory") when the process could not be
// created.
Status StartDetachedProcess(const std::string& path);

// Gives `path` the mode rwxr-xr-x so that it can be started. Returns the
// system's error text on failure.
Status MakeExecutable(const std::string& path);

}  // namespace talvoro

#endif  // TALVORO_MAIN_PROCESS_H_
