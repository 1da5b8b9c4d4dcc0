#include "base/console.h"

#include <cstdio>

namespace talvoro {

namespace {

void Write(std::FILE* stream, std::string_view text) {
  static const bool binary = (UseBinaryStandardStreams(), true);
  (void)binary;
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

}  // namespace

void PrintOut(std::string_view text) { Write(stdout, text); }
void PrintErr(std::string_view text) { Write(stderr, text); }

}  // namespace talvoro
