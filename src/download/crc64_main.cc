// talvoro-crc64 FILE...
//
// Prints the CRC-64/XZ of each file in decimal, the value the download host
// must announce in the "x-oss-hash-crc64ecma" response header, one line per
// file: "<decimal>  <file>". A file that cannot be read is reported on
// standard error and skipped; the exit code is then 1.
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "base/command_line.h"
#include "base/console.h"
#include "download/crc64.h"

int main(int argc, char** argv) {
  talvoro::UseBinaryStandardStreams();
  const std::vector<std::string> files =
      talvoro::CommandLineArguments(argc, argv);
  if (files.size() < 2) {
    std::fprintf(stderr, "usage: talvoro-crc64 FILE...\n");
    return 2;
  }
  int exit_code = 0;
  for (size_t i = 1; i < files.size(); ++i) {
    talvoro::Result<uint64_t> crc = talvoro::Crc64OfFile(files[i]);
    if (!crc.ok()) {
      std::fflush(stdout);
      std::fprintf(stderr, "talvoro-crc64: %s\n", crc.error().message.c_str());
      exit_code = 1;
      continue;
    }
    std::printf("%" PRIu64 "  %s\n", crc.value(), files[i].c_str());
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "talvoro-crc64: cannot write to standard output\n");
    return 1;
  }
  return exit_code;
}
