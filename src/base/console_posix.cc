#include "base/console.h"

namespace talvoro {

// POSIX streams never translate line feeds.
void UseBinaryStandardStreams() {}

}  // namespace talvoro
