// Four ChaCha-12 blocks with AVX2, two blocks per 256-bit register: each register holds
// one row of four state words for block pair (counter, counter+1) or (counter+2,
// counter+3), one block per 128-bit half. The diagonal round rotates three rows within
// each half, which is one shuffle per row. Compiled for AVX2 only in this file; the
// caller checks the processor before choosing it.
#include "random/chacha12.hpp"

#if defined(__x86_64__)

#include <immintrin.h>

#define KAVELO_AVX2 __attribute__((target("avx2")))

namespace kavelo::chacha12 {

namespace {

struct Rows {
  __m256i a, b, c, d;
};

KAVELO_AVX2 inline __m256i rotl16(__m256i v) noexcept {
  const __m256i mask = _mm256_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13, 2, 3,
                                        0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13);
  return _mm256_shuffle_epi8(v, mask);
}

KAVELO_AVX2 inline __m256i rotl8(__m256i v) noexcept {
  const __m256i mask = _mm256_setr_epi8(3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14, 3, 0,
                                        1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14);
  return _mm256_shuffle_epi8(v, mask);
}

template <int Bits>
KAVELO_AVX2 inline __m256i rotl_shift(__m256i v) noexcept {
  return _mm256_or_si256(_mm256_slli_epi32(v, Bits), _mm256_srli_epi32(v, 32 - Bits));
}

// One quarter round on the four columns of both blocks held in `s`.
KAVELO_AVX2 inline void quarter_rounds(Rows& s) noexcept {
  s.a = _mm256_add_epi32(s.a, s.b);
  s.d = rotl16(_mm256_xor_si256(s.d, s.a));
  s.c = _mm256_add_epi32(s.c, s.d);
  s.b = rotl_shift<12>(_mm256_xor_si256(s.b, s.c));
  s.a = _mm256_add_epi32(s.a, s.b);
  s.d = rotl8(_mm256_xor_si256(s.d, s.a));
  s.c = _mm256_add_epi32(s.c, s.d);
  s.b = rotl_shift<7>(_mm256_xor_si256(s.b, s.c));
}

// Lines the diagonals up as columns by rotating rows a, c and d around row b: row b is
// the last one a quarter round writes and the first the next one reads, so leaving it
// in place keeps the shuffles off the dependency chain.
KAVELO_AVX2 inline void diagonalize(Rows& s) noexcept {
  s.a = _mm256_shuffle_epi32(s.a, 0x93);  // x3 x0 x1 x2
  s.c = _mm256_shuffle_epi32(s.c, 0x39);  // x9 x10 x11 x8
  s.d = _mm256_shuffle_epi32(s.d, 0x4E);  // x14 x15 x12 x13
}

KAVELO_AVX2 inline void undiagonalize(Rows& s) noexcept {
  s.a = _mm256_shuffle_epi32(s.a, 0x39);
  s.c = _mm256_shuffle_epi32(s.c, 0x93);
  s.d = _mm256_shuffle_epi32(s.d, 0x4E);
}

KAVELO_AVX2 inline __m256i counter_row(std::uint64_t first) noexcept {
  std::uint64_t second = first + 1;
  return _mm256_setr_epi32(static_cast<int>(first), static_cast<int>(first >> 32), 0, 0,
                           static_cast<int>(second), static_cast<int>(second >> 32), 0, 0);
}

// Adds the input rows and stores the pair: block of the low halves at out, block of the
// high halves at out + 16.
KAVELO_AVX2 inline void finish_pair(const Rows& s, const Rows& input, std::uint32_t* out) noexcept {
  __m256i a = _mm256_add_epi32(s.a, input.a);
  __m256i b = _mm256_add_epi32(s.b, input.b);
  __m256i c = _mm256_add_epi32(s.c, input.c);
  __m256i d = _mm256_add_epi32(s.d, input.d);
  auto* dst = reinterpret_cast<__m256i*>(out);
  _mm256_storeu_si256(dst + 0, _mm256_permute2x128_si256(a, b, 0x20));
  _mm256_storeu_si256(dst + 1, _mm256_permute2x128_si256(c, d, 0x20));
  _mm256_storeu_si256(dst + 2, _mm256_permute2x128_si256(a, b, 0x31));
  _mm256_storeu_si256(dst + 3, _mm256_permute2x128_si256(c, d, 0x31));
}

KAVELO_AVX2 inline Rows input_rows(const Key& key, std::uint64_t first) noexcept {
  const __m256i constants =
      _mm256_setr_epi32(static_cast<int>(kConstants[0]), static_cast<int>(kConstants[1]),
                        static_cast<int>(kConstants[2]), static_cast<int>(kConstants[3]),
                        static_cast<int>(kConstants[0]), static_cast<int>(kConstants[1]),
                        static_cast<int>(kConstants[2]), static_cast<int>(kConstants[3]));
  const __m256i key_low =
      _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(key.data())));
  const __m256i key_high = _mm256_broadcastsi128_si256(
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(key.data() + 4)));
  return Rows{constants, key_low, key_high, counter_row(first)};
}

}  // namespace

KAVELO_AVX2 void refill_avx2(const Key& key, std::uint64_t counter, std::uint32_t* out) noexcept {
  Rows s01 = input_rows(key, counter);
  Rows s23 = input_rows(key, counter + 2);

  // The two pairs are independent; interleaving them keeps several vector units busy.
  for (int round = 0; round < kDoubleRounds; ++round) {
    quarter_rounds(s01);
    quarter_rounds(s23);
    diagonalize(s01);
    diagonalize(s23);
    quarter_rounds(s01);
    quarter_rounds(s23);
    undiagonalize(s01);
    undiagonalize(s23);
  }

  // The input rows are rebuilt from memory rather than kept in registers through the
  // rounds: sixteen vector registers hold the eight state rows and the shuffle masks,
  // and keeping the inputs as well made the compiler spill state rows inside the loop.
  asm volatile("" ::: "memory");
  finish_pair(s01, input_rows(key, counter), out);
  finish_pair(s23, input_rows(key, counter + 2), out + 2 * kBlockWords);
}

}  // namespace kavelo::chacha12

#endif  // __x86_64__
