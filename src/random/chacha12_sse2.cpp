// Four ChaCha-12 blocks side by side with SSE2: register i holds state word i of all four
// blocks (lane b = block counter+b), so every quarter round works on the four blocks at
// once. A 4x4 transpose at the end puts the words back in block order.
#include "random/chacha12.hpp"

#if defined(__x86_64__)

#include <emmintrin.h>

namespace kavelo::chacha12 {

namespace {

template <int Bits>
inline __m128i rotl(__m128i v) noexcept {
  if constexpr (Bits == 16) {
    // Swapping the 16-bit halves of each word is a rotation by 16.
    return _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0xB1), 0xB1);
  } else {
    return _mm_or_si128(_mm_slli_epi32(v, Bits), _mm_srli_epi32(v, 32 - Bits));
  }
}

inline void quarter_round(__m128i& a, __m128i& b, __m128i& c, __m128i& d) noexcept {
  a = _mm_add_epi32(a, b);
  d = rotl<16>(_mm_xor_si128(d, a));
  c = _mm_add_epi32(c, d);
  b = rotl<12>(_mm_xor_si128(b, c));
  a = _mm_add_epi32(a, b);
  d = rotl<8>(_mm_xor_si128(d, a));
  c = _mm_add_epi32(c, d);
  b = rotl<7>(_mm_xor_si128(b, c));
}

// Transposes the 4x4 word matrix rows r0..r3 (row = state word, lane = block) and stores
// the four words of each block at out + block * 16.
inline void store_transposed(__m128i r0, __m128i r1, __m128i r2, __m128i r3,
                             std::uint32_t* out) noexcept {
  __m128i t0 = _mm_unpacklo_epi32(r0, r1);  // w0b0 w1b0 w0b1 w1b1
  __m128i t1 = _mm_unpacklo_epi32(r2, r3);  // w2b0 w3b0 w2b1 w3b1
  __m128i t2 = _mm_unpackhi_epi32(r0, r1);  // w0b2 w1b2 w0b3 w1b3
  __m128i t3 = _mm_unpackhi_epi32(r2, r3);  // w2b2 w3b2 w2b3 w3b3
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 0 * kBlockWords), _mm_unpacklo_epi64(t0, t1));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 1 * kBlockWords), _mm_unpackhi_epi64(t0, t1));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * kBlockWords), _mm_unpacklo_epi64(t2, t3));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * kBlockWords), _mm_unpackhi_epi64(t2, t3));
}

inline __m128i splat(std::uint32_t word) noexcept { return _mm_set1_epi32(static_cast<int>(word)); }

}  // namespace

void refill_sse2(const Key& key, std::uint64_t counter, std::uint32_t* out) noexcept {
  // The four 64-bit counters, split per lane so that a carry out of word 12 lands in
  // word 13 of exactly the lanes that pass 2^32.
  std::uint64_t c0 = counter, c1 = counter + 1, c2 = counter + 2, c3 = counter + 3;
  const __m128i counter_low = _mm_setr_epi32(static_cast<int>(c0), static_cast<int>(c1),
                                             static_cast<int>(c2), static_cast<int>(c3));
  const __m128i counter_high =
      _mm_setr_epi32(static_cast<int>(c0 >> 32), static_cast<int>(c1 >> 32),
                     static_cast<int>(c2 >> 32), static_cast<int>(c3 >> 32));

  const __m128i input[kBlockWords] = {
      splat(kConstants[0]), splat(kConstants[1]), splat(kConstants[2]), splat(kConstants[3]),
      splat(key[0]),        splat(key[1]),        splat(key[2]),        splat(key[3]),
      splat(key[4]),        splat(key[5]),        splat(key[6]),        splat(key[7]),
      counter_low,          counter_high,         _mm_setzero_si128(),  _mm_setzero_si128(),
  };
  __m128i x0 = input[0], x1 = input[1], x2 = input[2], x3 = input[3];
  __m128i x4 = input[4], x5 = input[5], x6 = input[6], x7 = input[7];
  __m128i x8 = input[8], x9 = input[9], x10 = input[10], x11 = input[11];
  __m128i x12 = input[12], x13 = input[13], x14 = input[14], x15 = input[15];

  for (int round = 0; round < kDoubleRounds; ++round) {
    quarter_round(x0, x4, x8, x12);
    quarter_round(x1, x5, x9, x13);
    quarter_round(x2, x6, x10, x14);
    quarter_round(x3, x7, x11, x15);
    quarter_round(x0, x5, x10, x15);
    quarter_round(x1, x6, x11, x12);
    quarter_round(x2, x7, x8, x13);
    quarter_round(x3, x4, x9, x14);
  }

  store_transposed(_mm_add_epi32(x0, input[0]), _mm_add_epi32(x1, input[1]),
                   _mm_add_epi32(x2, input[2]), _mm_add_epi32(x3, input[3]), out + 0);
  store_transposed(_mm_add_epi32(x4, input[4]), _mm_add_epi32(x5, input[5]),
                   _mm_add_epi32(x6, input[6]), _mm_add_epi32(x7, input[7]), out + 4);
  store_transposed(_mm_add_epi32(x8, input[8]), _mm_add_epi32(x9, input[9]),
                   _mm_add_epi32(x10, input[10]), _mm_add_epi32(x11, input[11]), out + 8);
  store_transposed(_mm_add_epi32(x12, input[12]), _mm_add_epi32(x13, input[13]),
                   _mm_add_epi32(x14, input[14]), _mm_add_epi32(x15, input[15]), out + 12);
}

void block_sse2(const Key& key, std::uint64_t counter, std::uint32_t* out) noexcept {
  // One block as four rows of four words. The diagonal round is a column round after
  // rotating rows 1, 2 and 3 left by one, two and three words.
  const __m128i a0 =
      _mm_setr_epi32(static_cast<int>(kConstants[0]), static_cast<int>(kConstants[1]),
                     static_cast<int>(kConstants[2]), static_cast<int>(kConstants[3]));
  const __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(key.data()));
  const __m128i c0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(key.data() + 4));
  const __m128i d0 =
      _mm_setr_epi32(static_cast<int>(counter), static_cast<int>(counter >> 32), 0, 0);
  __m128i a = a0, b = b0, c = c0, d = d0;
  for (int round = 0; round < kDoubleRounds; ++round) {
    quarter_round(a, b, c, d);
    b = _mm_shuffle_epi32(b, 0x39);
    c = _mm_shuffle_epi32(c, 0x4E);
    d = _mm_shuffle_epi32(d, 0x93);
    quarter_round(a, b, c, d);
    b = _mm_shuffle_epi32(b, 0x93);
    c = _mm_shuffle_epi32(c, 0x4E);
    d = _mm_shuffle_epi32(d, 0x39);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 0), _mm_add_epi32(a, a0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4), _mm_add_epi32(b, b0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_add_epi32(c, c0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 12), _mm_add_epi32(d, d0));
}

}  // namespace kavelo::chacha12

#endif  // __x86_64__
