// The program's command-line arguments as UTF-8.
#ifndef TALVORO_BASE_COMMAND_LINE_H_
#define TALVORO_BASE_COMMAND_LINE_H_

#include <string>
#include <vector>

namespace talvoro {

// The arguments of this process, the program's name first. On POSIX these
// are `argv` as given; on Windows they are read from the UTF-16 command line
// (`argv` there is in the ANSI code page, which cannot hold every name).
std::vector<std::string> CommandLineArguments(int argc, char** argv);

}  // namespace talvoro

#endif  // TALVORO_BASE_COMMAND_LINE_H_
