// CRC-64 by carry-less multiplication folding.
//
// The message is a polynomial over GF(2); its CRC is M(x) * x^64 mod P(x).
// A 128-bit block A = A_hi * x^64 + A_lo that stands D bits before the end
// of what has been read so far can be moved D bits forward without changing
// the remainder:
//
//   A * x^D  ==  A_hi * (x^(D+64) mod P) + A_lo * (x^D mod P)   (mod P),
//
// two 64x64-bit carry-less products whose sum again fits in 128 bits, and
// the block that stands there is XORed in. Several independent blocks are
// carried at once (lanes) so that the multiplier's latency is hidden; at the
// end the lanes are folded into one 128-bit block, whose 16 bytes, with the
// tail of the input, go through the table.
//
// The bytes are reflected: bit k of a 128-bit register loaded from memory is
// the coefficient of x^(127-k), and a 64-bit constant holds the coefficient
// of x^(63-j) in bit j. A carry-less product of two such 64-bit values is the
// product polynomial times x, so the constants below are x^(D+63) and
// x^(D-1) mod P.
#include "download/crc64.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace talvoro {

#if defined(__x86_64__)

namespace {

// x^n mod P, in the normal bit order (x^i in bit i).
constexpr uint64_t XPowModP(unsigned n) {
  uint64_t r = 1;
  for (unsigned i = 0; i < n; ++i) {
    bool carry = (r >> 63) != 0;
    r <<= 1;
    if (carry) r ^= kCrc64Polynomial;
  }
  return r;
}

constexpr uint64_t Reflect64(uint64_t v) {
  uint64_t r = 0;
  for (int i = 0; i < 64; ++i) {
    r = (r << 1) | ((v >> i) & 1);
  }
  return r;
}

// The two multipliers that move a 128-bit block `bits` bits forward: the
// first for the low quadword (A_hi), the second for the high one (A_lo).
struct FoldConstants {
  uint64_t for_low;
  uint64_t for_high;
};
constexpr FoldConstants FoldBy(unsigned bits) {
  return {Reflect64(XPowModP(bits + 63)), Reflect64(XPowModP(bits - 1))};
}

constexpr FoldConstants kFold128 = FoldBy(128);
constexpr FoldConstants kFold512 = FoldBy(512);
constexpr FoldConstants kFold2048 = FoldBy(2048);

// The same check the reference table is built on: x^64 mod P is the
// polynomial without its top term, and folding by 128 bits needs x^191.
static_assert(XPowModP(64) == kCrc64Polynomial);
static_assert(Reflect64(kCrc64Polynomial) == kCrc64Reflected);

#define TALVORO_CLMUL __attribute__((target("pclmul,sse4.1")))
#define TALVORO_VPCLMUL \
  __attribute__((target("pclmul,sse4.1,avx2,avx512f,vpclmulqdq")))

TALVORO_CLMUL inline __m128i Constants128(FoldConstants k) {
  return _mm_set_epi64x(static_cast<long long>(k.for_high),
                        static_cast<long long>(k.for_low));
}

TALVORO_CLMUL inline __m128i Load128(const unsigned char* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// x moved forward by the distance of `k`, with `next` XORed in.
TALVORO_CLMUL inline __m128i Fold128(__m128i x, __m128i k, __m128i next) {
  __m128i lo = _mm_clmulepi64_si128(x, k, 0x00);
  __m128i hi = _mm_clmulepi64_si128(x, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(lo, hi), next);
}

// The CRC of everything folded into `x` followed by the `len` bytes at `p`.
TALVORO_CLMUL uint64_t Finish(__m128i x, const unsigned char* p, size_t len) {
  alignas(16) unsigned char block[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(block), x);
  // ~0 as the finished value is a raw register of 0: the block already
  // carries the register it started from.
  uint64_t crc = Crc64Slice8(~uint64_t{0}, block, sizeof block);
  return Crc64Slice8(crc, p, len);
}

// Folds 16-byte blocks into x until fewer than 16 bytes are left.
TALVORO_CLMUL uint64_t FoldTail(__m128i x, const unsigned char* p, size_t len) {
  const __m128i k128 = Constants128(kFold128);
  while (len >= 16) {
    x = Fold128(x, k128, Load128(p));
    p += 16;
    len -= 16;
  }
  return Finish(x, p, len);
}

// Below this size the table is as quick as setting up the lanes.
constexpr size_t kClmulMinimum = 64;
constexpr size_t kVpclmulMinimum = 512;

}  // namespace

TALVORO_CLMUL uint64_t Crc64Clmul(uint64_t crc, const void* data, size_t len) {
  const auto* p = static_cast<const unsigned char*>(data);
  if (len < kClmulMinimum) return Crc64Slice8(crc, p, len);

  // The register is XORed into the first eight bytes of the message.
  __m128i x0 = _mm_xor_si128(Load128(p),
                             _mm_cvtsi64_si128(static_cast<long long>(~crc)));
  __m128i x1 = Load128(p + 16);
  __m128i x2 = Load128(p + 32);
  __m128i x3 = Load128(p + 48);
  p += 64;
  len -= 64;

  const __m128i k512 = Constants128(kFold512);
  while (len >= 64) {
    x0 = Fold128(x0, k512, Load128(p));
    x1 = Fold128(x1, k512, Load128(p + 16));
    x2 = Fold128(x2, k512, Load128(p + 32));
    x3 = Fold128(x3, k512, Load128(p + 48));
    p += 64;
    len -= 64;
  }

  const __m128i k128 = Constants128(kFold128);
  __m128i x = Fold128(x0, k128, x1);
  x = Fold128(x, k128, x2);
  x = Fold128(x, k128, x3);
  return FoldTail(x, p, len);
}

namespace {

TALVORO_VPCLMUL inline __m512i Load512(const unsigned char* p) {
  return _mm512_loadu_si512(p);
}

TALVORO_VPCLMUL inline __m512i Constants512(FoldConstants k) {
  const auto lo = static_cast<long long>(k.for_low);
  const auto hi = static_cast<long long>(k.for_high);
  return _mm512_set_epi64(hi, lo, hi, lo, hi, lo, hi, lo);
}

// Each of the four 128-bit lanes of z moved forward by the distance of `k`,
// with `next` XORed in.
TALVORO_VPCLMUL inline __m512i Fold512(__m512i z, __m512i k, __m512i next) {
  __m512i lo = _mm512_clmulepi64_epi128(z, k, 0x00);
  __m512i hi = _mm512_clmulepi64_epi128(z, k, 0x11);
  return _mm512_ternarylogic_epi64(lo, hi, next, 0x96);  // lo ^ hi ^ next
}

}  // namespace

TALVORO_VPCLMUL uint64_t Crc64Vpclmul(uint64_t crc, const void* data,
                                      size_t len) {
  const auto* p = static_cast<const unsigned char*>(data);
  if (len < kVpclmulMinimum) return Crc64Clmul(crc, p, len);

  __m512i z0 = _mm512_xor_si512(
      Load512(p),
      _mm512_set_epi64(0, 0, 0, 0, 0, 0, 0, static_cast<long long>(~crc)));
  __m512i z1 = Load512(p + 64);
  __m512i z2 = Load512(p + 128);
  __m512i z3 = Load512(p + 192);
  p += 256;
  len -= 256;

  const __m512i k2048 = Constants512(kFold2048);
  while (len >= 256) {
    z0 = Fold512(z0, k2048, Load512(p));
    z1 = Fold512(z1, k2048, Load512(p + 64));
    z2 = Fold512(z2, k2048, Load512(p + 128));
    z3 = Fold512(z3, k2048, Load512(p + 192));
    p += 256;
    len -= 256;
  }

  const __m512i k512 = Constants512(kFold512);
  __m512i z = Fold512(z0, k512, z1);
  z = Fold512(z, k512, z2);
  z = Fold512(z, k512, z3);
  while (len >= 64) {
    z = Fold512(z, k512, Load512(p));
    p += 64;
    len -= 64;
  }

  // The four lanes are four consecutive 128-bit blocks. (The zero-masking
  // extract and the explicit constants above keep this compiler from
  // warning about the undefined pass-through operand of the unmasked forms.)
  const __m128i k128 = Constants128(kFold128);
  __m128i x = Fold128(_mm512_maskz_extracti32x4_epi32(0xf, z, 0), k128,
                      _mm512_maskz_extracti32x4_epi32(0xf, z, 1));
  x = Fold128(x, k128, _mm512_maskz_extracti32x4_epi32(0xf, z, 2));
  x = Fold128(x, k128, _mm512_maskz_extracti32x4_epi32(0xf, z, 3));
  return FoldTail(x, p, len);
}

#else  // !defined(__x86_64__)

// Never reported as supported on other machines; kept so that every path
// links everywhere.
uint64_t Crc64Clmul(uint64_t crc, const void* data, size_t len) {
  return Crc64Slice8(crc, data, len);
}
uint64_t Crc64Vpclmul(uint64_t crc, const void* data, size_t len) {
  return Crc64Slice8(crc, data, len);
}

#endif

}  // namespace talvoro
