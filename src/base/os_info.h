// What the program says about itself and the system it runs on: its
// version, the operating system's name and version, and the processor
// architecture. Used in the User-Agent and at the head of the log.
#ifndef TALVORO_BASE_OS_INFO_H_
#define TALVORO_BASE_OS_INFO_H_

#include <string>

namespace talvoro {

// The program's version, "MAJOR.MINOR.PATCH" (the project's version in
// CMakeLists.txt, which also sets the Windows version resource).
const char* ProgramVersion();

// The operating system's name and version, e.g. "Windows 10.0.19045" or
// "Linux 6.1.0-18-amd64"; the name alone when the version cannot be read.
// Never fails.
std::string OsDescription();

// The processor architecture the program was built for: "x86_64", "x86",
// "arm64" or "arm".
const char* ArchitectureName();

}  // namespace talvoro

#endif  // TALVORO_BASE_OS_INFO_H_
