#include "download/user_agent.h"

#include "base/os_info.h"

namespace talvoro {

namespace {

// `text` with every byte that has no place in a header value (a control
// character, a line break, a byte outside ASCII) replaced by '_'.
std::string HeaderSafe(std::string text) {
  for (char& c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7F) c = '_';
  }
  return text;
}

}  // namespace

const std::string& UserAgent() {
  static const std::string agent =
      std::string("CorvadelinBootstrap/") + ProgramVersion() + " (" +
      HeaderSafe(OsDescription()) + "; " + ArchitectureName() + ")";
  return agent;
}

std::string UserAgentLine() { return "User-Agent: " + UserAgent() + "\r\n"; }

}  // namespace talvoro
