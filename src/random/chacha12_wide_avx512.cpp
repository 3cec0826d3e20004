// Sixteen ChaCha-12 blocks with AVX-512: one 512-bit register per state word and one
// block per 32-bit lane, so every quarter round works on sixteen blocks at once with no
// shuffle inside the rounds, and the sixteen chains of work run side by side instead of
// waiting on each other as the four-block layout's do. A 16x16 transpose at the end
// writes each block's words in order. Compiled for AVX-512F only in this file; the
// caller checks the processor before choosing it.
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

// A plain array: std::array would drop the vector type's alignment attribute.
struct State {
  __m512i word[kBlockWords];

  __m512i& operator[](std::size_t i) noexcept { return word[i]; }
  const __m512i& operator[](std::size_t i) const noexcept { return word[i]; }
};

KAVELO_AVX512 inline void quarter_round(State& x, std::size_t a, std::size_t b, std::size_t c,
                                        std::size_t d) noexcept {
  x[a] = _mm512_add_epi32(x[a], x[b]);
  x[d] = _mm512_rol_epi32(_mm512_xor_si512(x[d], x[a]), 16);
  x[c] = _mm512_add_epi32(x[c], x[d]);
  x[b] = _mm512_rol_epi32(_mm512_xor_si512(x[b], x[c]), 12);
  x[a] = _mm512_add_epi32(x[a], x[b]);
  x[d] = _mm512_rol_epi32(_mm512_xor_si512(x[d], x[a]), 8);
  x[c] = _mm512_add_epi32(x[c], x[d]);
  x[b] = _mm512_rol_epi32(_mm512_xor_si512(x[b], x[c]), 7);
}

// Word w of every block: the constants and the key broadcast, and each lane's own
// 64-bit counter split over words 12 and 13 (so the carry into word 13 happens exactly
// in the lanes past 2^32).
KAVELO_AVX512 inline State input_state(const Key& key, std::uint64_t counter) noexcept {
  State x;
  for (std::size_t w = 0; w < 4; ++w) x[w] = _mm512_set1_epi32(static_cast<int>(kConstants[w]));
  for (std::size_t w = 0; w < kKeyWords; ++w)
    x[4 + w] = _mm512_set1_epi32(static_cast<int>(key[w]));
  const __m512i lanes = _mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7);
  const __m512i low_counters =
      _mm512_add_epi64(_mm512_set1_epi64(static_cast<long long>(counter)), lanes);
  const __m512i high_counters = _mm512_add_epi64(low_counters, _mm512_set1_epi64(8));
  // Even 32-bit halves are the counters' low words, odd ones their high words.
  const __m512i even = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
  const __m512i odd = _mm512_setr_epi32(1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31);
  x[12] = _mm512_permutex2var_epi32(low_counters, even, high_counters);
  x[13] = _mm512_permutex2var_epi32(low_counters, odd, high_counters);
  x[14] = _mm512_setzero_si512();
  x[15] = _mm512_setzero_si512();
  return x;
}

}  // namespace

KAVELO_AVX512 void wide_avx512(const Key& key, std::uint64_t counter, std::uint32_t* out) noexcept {
  State x = input_state(key, counter);
  for (int round = 0; round < kDoubleRounds; ++round) {
    quarter_round(x, 0, 4, 8, 12);
    quarter_round(x, 1, 5, 9, 13);
    quarter_round(x, 2, 6, 10, 14);
    quarter_round(x, 3, 7, 11, 15);
    quarter_round(x, 0, 5, 10, 15);
    quarter_round(x, 1, 6, 11, 12);
    quarter_round(x, 2, 7, 8, 13);
    quarter_round(x, 3, 4, 9, 14);
  }
  const State input = input_state(key, counter);
  for (std::size_t w = 0; w < kBlockWords; ++w) x[w] = _mm512_add_epi32(x[w], input[w]);

  // Row w holds word w of blocks 0..15. Interleaving pairs of rows by 32 and then by 64
  // bits leaves, in 128-bit lane k of row 4q + m, words 4q..4q+3 of block 4k + m.
  State t;
  for (std::size_t i = 0; i < kBlockWords; i += 2) {
    t[i] = _mm512_unpacklo_epi32(x[i], x[i + 1]);
    t[i + 1] = _mm512_unpackhi_epi32(x[i], x[i + 1]);
  }
  for (std::size_t i = 0; i < kBlockWords; i += 4) {
    x[i] = _mm512_unpacklo_epi64(t[i], t[i + 2]);
    x[i + 1] = _mm512_unpackhi_epi64(t[i], t[i + 2]);
    x[i + 2] = _mm512_unpacklo_epi64(t[i + 1], t[i + 3]);
    x[i + 3] = _mm512_unpackhi_epi64(t[i + 1], t[i + 3]);
  }
  // Block 4k + m is lane k of rows m, 4 + m, 8 + m and 12 + m: a 4x4 transpose of lanes.
  for (std::size_t m = 0; m < 4; ++m) {
    const __m512i ab_low = _mm512_shuffle_i32x4(x[m], x[4 + m], 0x44);        // a0 a1 b0 b1
    const __m512i cd_low = _mm512_shuffle_i32x4(x[8 + m], x[12 + m], 0x44);   // c0 c1 d0 d1
    const __m512i ab_high = _mm512_shuffle_i32x4(x[m], x[4 + m], 0xEE);       // a2 a3 b2 b3
    const __m512i cd_high = _mm512_shuffle_i32x4(x[8 + m], x[12 + m], 0xEE);  // c2 c3 d2 d3
    std::uint32_t* block = out + m * kBlockWords;
    _mm512_storeu_si512(block + 0 * kRefillWords, _mm512_shuffle_i32x4(ab_low, cd_low, 0x88));
    _mm512_storeu_si512(block + 1 * kRefillWords, _mm512_shuffle_i32x4(ab_low, cd_low, 0xDD));
    _mm512_storeu_si512(block + 2 * kRefillWords, _mm512_shuffle_i32x4(ab_high, cd_high, 0x88));
    _mm512_storeu_si512(block + 3 * kRefillWords, _mm512_shuffle_i32x4(ab_high, cd_high, 0xDD));
  }
}

}  // namespace kavelo::chacha12

#pragma GCC diagnostic pop

#endif  // __x86_64__
