#include "download/crc64.h"

#include <bit>
#include <cstring>
#include <memory>

#include "base/file.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace talvoro {

namespace {

using SliceTables = std::array<std::array<uint64_t, 256>, 8>;

// t[k][b] is the register contribution of byte b followed by k zero bytes;
// t[0] is kCrc64Table. Made at run time, once: 16 KiB the program's file
// need not carry.
[[gnu::noinline]] SliceTables MakeSliceTables() {
  SliceTables t{};
  t[0] = kCrc64Table;
  for (size_t k = 1; k < 8; ++k) {
    for (size_t b = 0; b < 256; ++b) {
      uint64_t prev = t[k - 1][b];
      t[k][b] = (prev >> 8) ^ kCrc64Table[prev & 0xff];
    }
  }
  return t;
}

// On the heap, kept for the life of the process (a static object of this
// size would sit in the file's data section all the same).
const SliceTables& TheSliceTables() {
  static const SliceTables* const tables = new SliceTables(MakeSliceTables());
  return *tables;
}

inline uint64_t LoadLittleEndian64(const unsigned char* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) {
    v = __builtin_bswap64(v);
  }
  return v;
}

// Byte-at-a-time update of the raw (not final-XORed) register.
inline uint64_t TableRaw(uint64_t r, const unsigned char* p, size_t len) {
  for (size_t i = 0; i < len; ++i) {
    r = kCrc64Table[(r ^ p[i]) & 0xff] ^ (r >> 8);
  }
  return r;
}

using Crc64Function = uint64_t (*)(uint64_t, const void*, size_t);

Crc64Function FunctionFor(Crc64Path path) {
  switch (path) {
    case Crc64Path::kTable:
      return &Crc64Table;
    case Crc64Path::kSlice8:
      return &Crc64Slice8;
    case Crc64Path::kClmul:
      return &Crc64Clmul;
    case Crc64Path::kVpclmul:
      return &Crc64Vpclmul;
  }
  return &Crc64Table;
}

}  // namespace

uint64_t Crc64Table(uint64_t crc, const void* data, size_t len) {
  return ~TableRaw(~crc, static_cast<const unsigned char*>(data), len);
}

uint64_t Crc64Slice8(uint64_t crc, const void* data, size_t len) {
  const auto* p = static_cast<const unsigned char*>(data);
  uint64_t r = ~crc;
  // Align to 8 bytes so the wide loads stay within one cache line.
  size_t head = (8 - reinterpret_cast<uintptr_t>(p) % 8) % 8;
  if (head > len) head = len;
  r = TableRaw(r, p, head);
  p += head;
  len -= head;
  const SliceTables& t = TheSliceTables();
  while (len >= 8) {
    r ^= LoadLittleEndian64(p);
    r = t[7][r & 0xff] ^ t[6][(r >> 8) & 0xff] ^ t[5][(r >> 16) & 0xff] ^
        t[4][(r >> 24) & 0xff] ^ t[3][(r >> 32) & 0xff] ^
        t[2][(r >> 40) & 0xff] ^ t[1][(r >> 48) & 0xff] ^ t[0][r >> 56];
    p += 8;
    len -= 8;
  }
  return ~TableRaw(r, p, len);
}

#if defined(__x86_64__)
namespace {

// Read with cpuid rather than __builtin_cpu_supports, whose table of every
// feature (libgcc's cpuinfo) costs the Windows program 5 KiB.

// PCLMULQDQ and SSE4.1.
bool CpuHasClmul() {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  return (c & bit_PCLMUL) && (c & bit_SSE4_1);
}

// AVX-512F and VPCLMULQDQ, with the system saving the AVX-512 registers
// (XCR0: SSE, AVX, opmask, upper ZMM halves and ZMM16-31).
bool CpuHasVpclmul() {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_OSXSAVE)) return false;
  unsigned xcr0_low, xcr0_high;
  __asm__("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
  if ((xcr0_low & 0xe6) != 0xe6) return false;
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  return (b & bit_AVX512F) && (c & bit_VPCLMULQDQ);
}

}  // namespace
#endif

bool Crc64PathSupported(Crc64Path path) {
  switch (path) {
    case Crc64Path::kTable:
    case Crc64Path::kSlice8:
      return true;
#if defined(__x86_64__)
    case Crc64Path::kClmul:
      return CpuHasClmul();
    case Crc64Path::kVpclmul:
      return CpuHasClmul() && CpuHasVpclmul();
#else
    case Crc64Path::kClmul:
    case Crc64Path::kVpclmul:
      return false;
#endif
  }
  return false;
}

const char* Crc64PathName(Crc64Path path) {
  switch (path) {
    case Crc64Path::kTable:
      return "table";
    case Crc64Path::kSlice8:
      return "slice8";
    case Crc64Path::kClmul:
      return "clmul";
    case Crc64Path::kVpclmul:
      return "vpclmul";
  }
  return "?";
}

uint64_t Crc64With(Crc64Path path, uint64_t crc, const void* data, size_t len) {
  return FunctionFor(path)(crc, data, len);
}

Crc64Path Crc64BestPath() {
  static const Crc64Path best = [] {
    if (Crc64PathSupported(Crc64Path::kVpclmul)) return Crc64Path::kVpclmul;
    if (Crc64PathSupported(Crc64Path::kClmul)) return Crc64Path::kClmul;
    return Crc64Path::kSlice8;
  }();
  return best;
}

uint64_t Crc64Update(uint64_t crc, const void* data, size_t len) {
  static const Crc64Function best = FunctionFor(Crc64BestPath());
  return best(crc, data, len);
}

Result<uint64_t> Crc64OfFile(const std::string& path, uint64_t* size) {
  Result<File> file = File::Open(path, OpenMode::kRead);
  if (!file.ok())
    return FileError(FileErrorText(file.error(), {.lead = "cannot open"}));
  auto buffer =
      std::make_unique_for_overwrite<unsigned char[]>(kCrc64FileBlockSize);
  uint64_t crc = 0;
  uint64_t read = 0;
  for (;;) {
    Result<size_t> n = file->Read(buffer.get(), kCrc64FileBlockSize);
    if (!n.ok())
      return FileError(FileErrorText(n.error(), {.lead = "cannot read"}));
    if (*n == 0) break;
    crc = Crc64Update(crc, buffer.get(), *n);
    read += *n;
  }
  if (size) *size = read;
  return crc;
}

}  // namespace talvoro
