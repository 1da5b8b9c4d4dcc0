// CRC-64/XZ: the checksum that the download host announces for a file.
//
// Width 64, polynomial 0x42F0E1EBA9EA3693, initial value and final XOR
// 0xFFFFFFFFFFFFFFFF, input and output reflected. The CRC of the nine bytes
// "123456789" is 0x995DC9BBDF1939FA.
//
// Every function here is incremental and takes and returns the finished
// (final-XORed) value: start with 0 and feed the data in pieces of any size,
//
//   uint64_t crc = 0;
//   crc = Crc64Update(crc, first, first_len);
//   crc = Crc64Update(crc, second, second_len);
//
// and `crc` is the CRC of the concatenation. All paths give the same result
// for the same input; the 256-entry table is the reference and the faster
// paths are derived from the same polynomial.
#ifndef TALVORO_DOWNLOAD_CRC64_H_
#define TALVORO_DOWNLOAD_CRC64_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/error.h"

namespace talvoro {

// The polynomial, normal (x^63 in the top bit, x^64 implied) and reflected.
inline constexpr uint64_t kCrc64Polynomial = 0x42F0E1EBA9EA3693ULL;
inline constexpr uint64_t kCrc64Reflected = 0xC96C5795D7870F42ULL;

// Entry i is the register after shifting the byte i through the reflected
// polynomial eight times.
inline constexpr std::array<uint64_t, 256> kCrc64Table = [] {
  std::array<uint64_t, 256> table{};
  for (uint64_t i = 0; i < 256; ++i) {
    uint64_t r = i;
    for (int bit = 0; bit < 8; ++bit) {
      r = (r & 1) ? (r >> 1) ^ kCrc64Reflected : r >> 1;
    }
    table[i] = r;
  }
  return table;
}();

// The reference: one table look-up per byte.
uint64_t Crc64Table(uint64_t crc, const void* data, size_t len);

// Slicing-by-8: eight table look-ups per eight bytes. Portable.
uint64_t Crc64Slice8(uint64_t crc, const void* data, size_t len);

// Carry-less multiplication folding with PCLMULQDQ on 128-bit registers.
// Requires Crc64PathSupported(Crc64Path::kClmul); calling it on a CPU
// without the instructions is undefined (an illegal instruction).
uint64_t Crc64Clmul(uint64_t crc, const void* data, size_t len);

// The same folding with VPCLMULQDQ on 512-bit registers (AVX-512).
// Requires Crc64PathSupported(Crc64Path::kVpclmul).
uint64_t Crc64Vpclmul(uint64_t crc, const void* data, size_t len);

// The fastest path this CPU supports, chosen once at the first call.
// Safe to call from any thread.
uint64_t Crc64Update(uint64_t crc, const void* data, size_t len);

// The paths by name, for tests and benchmarks that run every one.
enum class Crc64Path { kTable, kSlice8, kClmul, kVpclmul };
inline constexpr std::array<Crc64Path, 4> kAllCrc64Paths = {
    Crc64Path::kTable, Crc64Path::kSlice8, Crc64Path::kClmul,
    Crc64Path::kVpclmul};

// True when the CPU (and the build) can run `path`. kTable and kSlice8 are
// always supported; the others only on x86-64 with the instructions.
bool Crc64PathSupported(Crc64Path path);

// A short lower-case name for `path` ("table", "slice8", ...).
const char* Crc64PathName(Crc64Path path);

// Runs `path` over the data. Requires Crc64PathSupported(path).
uint64_t Crc64With(Crc64Path path, uint64_t crc, const void* data, size_t len);

// The path Crc64Update uses on this machine.
Crc64Path Crc64BestPath();

// The size of the blocks Crc64OfFile reads: the memory it needs, whatever
// the size of the file.
inline constexpr size_t kCrc64FileBlockSize = size_t{1} << 20;

// Returns the CRC-64/XZ of the whole file at `path` (0 for an empty file),
// reading it in blocks of kCrc64FileBlockSize, and stores the number of
// bytes read into `*size` when it is given. Returns a kFile error whose
// message names the path and the system's reason when the file cannot be
// opened or read. Blocks the calling thread until the file is read.
Result<uint64_t> Crc64OfFile(const std::string& path, uint64_t* size = nullptr);

}  // namespace talvoro

#endif  // TALVORO_DOWNLOAD_CRC64_H_
