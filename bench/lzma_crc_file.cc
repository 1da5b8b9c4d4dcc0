// lzma_crc_file FILE
//
// The by-hand check a user would run after a download: the CRC-64 of FILE
// computed with liblzma's lzma_crc64, printed in decimal. Reads the file in
// 1 MiB blocks, the same block size as the program's own check.
#include <fcntl.h>
#include <lzma.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: lzma_crc_file FILE\n");
    return 2;
  }
  int fd = ::open(argv[1], O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "lzma_crc_file: %s: %s\n", argv[1],
                 std::strerror(errno));
    return 1;
  }
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  constexpr size_t kBlock = size_t{1} << 20;
  auto buffer = std::make_unique_for_overwrite<uint8_t[]>(kBlock);
  uint64_t crc = 0;
  for (;;) {
    ssize_t n = ::read(fd, buffer.get(), kBlock);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      std::fprintf(stderr, "lzma_crc_file: %s: %s\n", argv[1],
                   std::strerror(errno));
      return 1;
    }
    if (n == 0) break;
    crc = lzma_crc64(buffer.get(), static_cast<size_t>(n), crc);
  }
  ::close(fd);
  std::printf("%" PRIu64 "\n", crc);
  return 0;
}
