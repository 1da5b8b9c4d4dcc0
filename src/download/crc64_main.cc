// talvoro-crc64 FILE...
//
// Prints the CRC-64/XZ of each file in decimal, the value the download host
// must announce in the "x-oss-hash-crc64ecma" response header, one line per
// file: "<decimal>  <file>". A file that cannot be read is reported on
// standard error and skipped; the exit code is then 1.
#include <cinttypes>
#include <cstdio>
#include <string>

#include "download/crc64.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: talvoro-crc64 FILE...\n");
    return 2;
  }
  int exit_code = 0;
  for (int i = 1; i < argc; ++i) {
    talvoro::Result<uint64_t> crc = talvoro::Crc64OfFile(argv[i]);
    if (!crc.ok()) {
      std::fflush(stdout);
      std::fprintf(stderr, "talvoro-crc64: %s\n", crc.error().message.c_str());
      exit_code = 1;
      continue;
    }
    std::printf("%" PRIu64 "  %s\n", crc.value(), argv[i]);
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "talvoro-crc64: cannot write to standard output\n");
    return 1;
  }
  return exit_code;
}
