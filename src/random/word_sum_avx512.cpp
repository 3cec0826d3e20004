// The sum of uniform values from key-stream words with AVX-512, eight words at a time:
// the multiply-high of x by m in 32-bit pieces (AVX-512 has no 64-bit one), the
// remainder with one masked subtraction, and the rejected words masked out of the sum.
// Compiled for AVX-512F only in this file; the caller checks the processor first.
#include "random/word_sum.hpp"

#if defined(__x86_64__)

// GCC 12's AVX-512 intrinsics fill their unused pass-through operand from a
// deliberately uninitialised variable, which -Wuninitialized and -Wmaybe-uninitialized
// report at every use.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#define KAVELO_AVX512 __attribute__((target("avx512f")))

namespace kavelo::random {

KAVELO_AVX512 WordSum sum_words_avx512(const std::uint32_t* words, std::uint64_t count,
                                       std::uint64_t accept_max, std::uint64_t n,
                                       std::uint64_t m) noexcept {
  const __m512i most = _mm512_set1_epi64(static_cast<long long>(accept_max));
  const __m512i divisor = _mm512_set1_epi64(static_cast<long long>(n));
  const __m512i m_low = _mm512_set1_epi64(static_cast<long long>(m & 0xffffffffu));
  const __m512i m_high = _mm512_set1_epi64(static_cast<long long>(m >> 32));
  const __m512i low_half = _mm512_set1_epi64(0xffffffffLL);
  __m512i sums = _mm512_setzero_si512();
  std::uint64_t accepted = 0;
  std::uint64_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m512i x = _mm512_loadu_si512(words + 2 * i);
    const __mmask8 kept = _mm512_cmple_epu64_mask(x, most);
    // q = floor(x m / 2^64) from the four 32-bit products.
    const __m512i x_high = _mm512_srli_epi64(x, 32);
    const __m512i ll = _mm512_mul_epu32(x, m_low);
    const __m512i lh = _mm512_mul_epu32(x, m_high);
    const __m512i hl = _mm512_mul_epu32(x_high, m_low);
    const __m512i hh = _mm512_mul_epu32(x_high, m_high);
    const __m512i middle = _mm512_add_epi64(
        _mm512_add_epi64(_mm512_srli_epi64(ll, 32), _mm512_and_si512(lh, low_half)),
        _mm512_and_si512(hl, low_half));
    const __m512i q = _mm512_add_epi64(
        _mm512_add_epi64(hh, _mm512_srli_epi64(lh, 32)),
        _mm512_add_epi64(_mm512_srli_epi64(hl, 32), _mm512_srli_epi64(middle, 32)));
    // q n modulo 2^64, with n below 2^32: q's low half times n, plus its high half
    // times n shifted up.
    const __m512i qn = _mm512_add_epi64(
        _mm512_mul_epu32(q, divisor),
        _mm512_slli_epi64(_mm512_mul_epu32(_mm512_srli_epi64(q, 32), divisor), 32));
    __m512i r = _mm512_sub_epi64(x, qn);
    r = _mm512_mask_sub_epi64(r, _mm512_cmpge_epu64_mask(r, divisor), r, divisor);
    sums = _mm512_mask_add_epi64(sums, kept, sums, r);
    accepted += static_cast<std::uint64_t>(__builtin_popcount(kept));
  }
  WordSum out = sum_words_portable(words + 2 * i, count - i, accept_max, n, m);
  out.sum += static_cast<std::uint64_t>(_mm512_reduce_add_epi64(sums));
  out.accepted += accepted;
  return out;
}

}  // namespace kavelo::random

#pragma GCC diagnostic pop

#endif  // __x86_64__
