// SPDX-License-Identifier: Apache-2.0
#include "queue/checksum_folding.h"

#ifdef HISTFEED_CRC32C_FOLDING
#include <immintrin.h>

namespace histfeed {
namespace {

// The bits of a reflected CRC run from the highest power of x down: bit 0
// of the first byte is the highest. A 128-bit lane loaded from 16 bytes
// holds a message block A = A_hi x^64 + A_lo with A_hi (the first eight
// bytes) in its low half. Moving A forward by d bits, onto a later block,
// adds A x^d, which modulo the polynomial is A_hi (x^(d+64) mod P) +
// A_lo (x^d mod P): two 64 x 32-bit carry-less products that fit the later
// block. In reflected form a product lands one bit low, so the constants
// are x^(d+63) and x^(d-1) modulo P, bit-reversed into 64 bits.
constexpr uint64_t Reversed64(uint64_t value) {
  uint64_t reversed = 0;
  for (int bit = 0; bit < 64; ++bit) {
    if ((value >> bit) & 1) reversed |= uint64_t{1} << (63 - bit);
  }
  return reversed;
}

constexpr uint64_t XToThePowerModP(int power) {
  uint64_t remainder = 1;
  for (int i = 0; i < power; ++i) {
    remainder <<= 1;
    if ((remainder >> 32) & 1) remainder ^= 0x11EDC6F41ull;  // CRC-32C, highest term first
  }
  return remainder;
}

struct FoldConstants {
  uint64_t forHigh;  // multiplies a lane's low half: its higher powers
  uint64_t forLow;
};

constexpr FoldConstants FoldBy(int bits) {
  return FoldConstants{Reversed64(XToThePowerModP(bits + 63)),
                       Reversed64(XToThePowerModP(bits - 1))};
}

#define HISTFEED_FOLDING_TARGET \
  __attribute__((target("avx512f,avx512vl,vpclmulqdq,pclmul,sse4.2")))

HISTFEED_FOLDING_TARGET __m128i Lane(FoldConstants constants) {
  return _mm_set_epi64x(static_cast<int64_t>(constants.forLow),
                        static_cast<int64_t>(constants.forHigh));
}

HISTFEED_FOLDING_TARGET __m512i Lanes(FoldConstants constants) {
  auto high = static_cast<int64_t>(constants.forHigh);
  auto low = static_cast<int64_t>(constants.forLow);
  return _mm512_set_epi64(low, high, low, high, low, high, low, high);
}

// `x` moved forward onto `onto`, in each 128-bit lane.
HISTFEED_FOLDING_TARGET __m512i Fold(__m512i x, __m512i constants, __m512i onto) {
  return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(x, constants, 0x00),
                                   _mm512_clmulepi64_epi128(x, constants, 0x11), onto, 0x96);
}

HISTFEED_FOLDING_TARGET __m128i Fold(__m128i x, __m128i constants, __m128i onto) {
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, constants, 0x00),
                                     _mm_clmulepi64_si128(x, constants, 0x11)),
                       onto);
}

HISTFEED_FOLDING_TARGET __m512i Load64(const uint8_t* at) { return _mm512_loadu_si512(at); }

// The four lanes of `z`, oldest first, folded onto its last one. (The
// masked extract: the plain one trips a false warning in GCC 12.)
HISTFEED_FOLDING_TARGET __m128i FoldLanes(__m512i z) {
  __m128i x = _mm512_maskz_extracti32x4_epi32(0xF, z, 3);
  x = Fold(_mm512_maskz_extracti32x4_epi32(0xF, z, 2), Lane(FoldBy(128)), x);
  x = Fold(_mm512_maskz_extracti32x4_epi32(0xF, z, 1), Lane(FoldBy(256)), x);
  return Fold(_mm512_maskz_extracti32x4_epi32(0xF, z, 0), Lane(FoldBy(384)), x);
}

}  // namespace

bool CanFoldCrc32c() {
  static const bool can = __builtin_cpu_supports("avx512f") &&
                          __builtin_cpu_supports("avx512vl") &&
                          __builtin_cpu_supports("vpclmulqdq") &&
                          __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.2");
  return can;
}

HISTFEED_FOLDING_TARGET uint32_t FoldCrc32c(uint32_t crc, const uint8_t* at, size_t size) {
  // The register enters as the first four bytes, added in.
  __m512i z0 = _mm512_xor_si512(Load64(at), _mm512_set_epi64(0, 0, 0, 0, 0, 0, 0, crc));
  __m512i z1 = Load64(at + 64), z2 = Load64(at + 128), z3 = Load64(at + 192);
  at += 256;
  size -= 256;
  const __m512i by2048 = Lanes(FoldBy(2048));
  for (; size >= 256; size -= 256, at += 256) {
    z0 = Fold(z0, by2048, Load64(at));
    z1 = Fold(z1, by2048, Load64(at + 64));
    z2 = Fold(z2, by2048, Load64(at + 128));
    z3 = Fold(z3, by2048, Load64(at + 192));
  }
  const __m512i by512 = Lanes(FoldBy(512));
  __m512i z = Fold(z0, Lanes(FoldBy(1536)), Fold(z1, Lanes(FoldBy(1024)), Fold(z2, by512, z3)));
  for (; size >= 64; size -= 64, at += 64) z = Fold(z, by512, Load64(at));
  __m128i x = FoldLanes(z);
  const __m128i by128 = Lane(FoldBy(128));
  for (; size >= 16; size -= 16, at += 16) {
    x = Fold(x, by128, _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)));
  }
  // What is left has the message's remainder: its checksum from zero.
  uint64_t wide = _mm_crc32_u64(0, static_cast<uint64_t>(_mm_cvtsi128_si64(x)));
  wide = _mm_crc32_u64(wide, static_cast<uint64_t>(_mm_extract_epi64(x, 1)));
  crc = static_cast<uint32_t>(wide);
  for (; size > 0; --size, ++at) crc = _mm_crc32_u8(crc, *at);
  return crc;
}

}  // namespace histfeed

#endif  // HISTFEED_CRC32C_FOLDING
