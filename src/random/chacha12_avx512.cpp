// Four ChaCha-12 blocks with AVX-512: one 512-bit register per state row, one block per
// 128-bit lane, so a quarter round over all four blocks is four adds, four xors and four
// native rotates. The diagonal round rotates rows within each lane; a 4x4 transpose of
// 128-bit lanes at the end puts the blocks in order. Compiled for AVX-512F only in this
// file; the caller checks the processor before choosing it.
#include "random/chacha12.hpp"

#if defined(__x86_64__)

// GCC 12's AVX-512 intrinsics fill their unused pass-through operand from a
// deliberately uninitialised variable, which -Wuninitialized reports at every use.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#define KAVELO_AVX512 __attribute__((target("avx512f")))

namespace kavelo::chacha12 {

namespace {

struct Rows {
  __m512i a, b, c, d;
};

KAVELO_AVX512 inline void quarter_rounds(Rows& s) noexcept {
  s.a = _mm512_add_epi32(s.a, s.b);
  s.d = _mm512_rol_epi32(_mm512_xor_si512(s.d, s.a), 16);
  s.c = _mm512_add_epi32(s.c, s.d);
  s.b = _mm512_rol_epi32(_mm512_xor_si512(s.b, s.c), 12);
  s.a = _mm512_add_epi32(s.a, s.b);
  s.d = _mm512_rol_epi32(_mm512_xor_si512(s.d, s.a), 8);
  s.c = _mm512_add_epi32(s.c, s.d);
  s.b = _mm512_rol_epi32(_mm512_xor_si512(s.b, s.c), 7);
}

KAVELO_AVX512 inline Rows input_rows(const Key& key, std::uint64_t counter) noexcept {
  const __m512i constants = _mm512_broadcast_i32x4(
      _mm_setr_epi32(static_cast<int>(kConstants[0]), static_cast<int>(kConstants[1]),
                     static_cast<int>(kConstants[2]), static_cast<int>(kConstants[3])));
  const __m512i key_low =
      _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(key.data())));
  const __m512i key_high =
      _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(key.data() + 4)));
  // Each lane carries its own 64-bit counter, so a carry into word 13 happens exactly
  // in the lanes past 2^32.
  const std::uint64_t c0 = counter, c1 = counter + 1, c2 = counter + 2, c3 = counter + 3;
  const __m512i counters = _mm512_setr_epi32(
      static_cast<int>(c0), static_cast<int>(c0 >> 32), 0, 0, static_cast<int>(c1),
      static_cast<int>(c1 >> 32), 0, 0, static_cast<int>(c2), static_cast<int>(c2 >> 32), 0, 0,
      static_cast<int>(c3), static_cast<int>(c3 >> 32), 0, 0);
  return Rows{constants, key_low, key_high, counters};
}

}  // namespace

KAVELO_AVX512 void refill_avx512(const Key& key, std::uint64_t counter,
                                 std::uint32_t* out) noexcept {
  Rows s = input_rows(key, counter);
  // The diagonal round lines the diagonals up by rotating rows a, c and d around row b.
  // Row b is the last one a quarter round writes and the first the next one reads, so
  // leaving it in place keeps the shuffles off the dependency chain.
  for (int round = 0; round < kDoubleRounds; ++round) {
    quarter_rounds(s);
    s.a = _mm512_shuffle_epi32(s.a, static_cast<_MM_PERM_ENUM>(0x93));  // x3 x0 x1 x2
    s.c = _mm512_shuffle_epi32(s.c, static_cast<_MM_PERM_ENUM>(0x39));  // x9 x10 x11 x8
    s.d = _mm512_shuffle_epi32(s.d, static_cast<_MM_PERM_ENUM>(0x4E));  // x14 x15 x12 x13
    quarter_rounds(s);
    s.a = _mm512_shuffle_epi32(s.a, static_cast<_MM_PERM_ENUM>(0x39));
    s.c = _mm512_shuffle_epi32(s.c, static_cast<_MM_PERM_ENUM>(0x93));
    s.d = _mm512_shuffle_epi32(s.d, static_cast<_MM_PERM_ENUM>(0x4E));
  }

  // Rebuilt from memory rather than held in registers through the rounds.
  asm volatile("" ::: "memory");
  const Rows input = input_rows(key, counter);
  const __m512i a = _mm512_add_epi32(s.a, input.a);
  const __m512i b = _mm512_add_epi32(s.b, input.b);
  const __m512i c = _mm512_add_epi32(s.c, input.c);
  const __m512i d = _mm512_add_epi32(s.d, input.d);

  // Lane l of rows a, b, c, d is block l.
  const __m512i ab_low = _mm512_shuffle_i32x4(a, b, 0x44);   // a0 a1 b0 b1
  const __m512i cd_low = _mm512_shuffle_i32x4(c, d, 0x44);   // c0 c1 d0 d1
  const __m512i ab_high = _mm512_shuffle_i32x4(a, b, 0xEE);  // a2 a3 b2 b3
  const __m512i cd_high = _mm512_shuffle_i32x4(c, d, 0xEE);  // c2 c3 d2 d3
  _mm512_storeu_si512(out + 0 * kBlockWords, _mm512_shuffle_i32x4(ab_low, cd_low, 0x88));
  _mm512_storeu_si512(out + 1 * kBlockWords, _mm512_shuffle_i32x4(ab_low, cd_low, 0xDD));
  _mm512_storeu_si512(out + 2 * kBlockWords, _mm512_shuffle_i32x4(ab_high, cd_high, 0x88));
  _mm512_storeu_si512(out + 3 * kBlockWords, _mm512_shuffle_i32x4(ab_high, cd_high, 0xDD));
}

}  // namespace kavelo::chacha12

#pragma GCC diagnostic pop

#endif  // __x86_64__
