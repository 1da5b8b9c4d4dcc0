// Who is asking: the User-Agent every request of the program carries.
#ifndef TALVORO_DOWNLOAD_USER_AGENT_H_
#define TALVORO_DOWNLOAD_USER_AGENT_H_

#include <string>

namespace talvoro {

// "CorvadelinBootstrap/<version> (<OS name and version>; <architecture>)",
// from ProgramVersion, OsDescription and ArchitectureName (base/os_info.h).
// Made once, on the first call; safe from any thread.
const std::string& UserAgent();

// "User-Agent: " + UserAgent() + "\r\n": the header line of a request.
std::string UserAgentLine();

}  // namespace talvoro

#endif  // TALVORO_DOWNLOAD_USER_AGENT_H_
