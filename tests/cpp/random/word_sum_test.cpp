// Sums of uniform values straight from key-stream words: every path gives the sum and
// the count of accepted words that taking the words one by one gives, rejected words
// and the words around the acceptance bound included.
#include "random/word_sum.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kavelo::random {
namespace {

std::uint64_t accept_max_of(std::uint64_t n) { return ~std::uint64_t{0} - (0 - n) % n; }

// The words of a stream: mostly spread over the whole range, with runs next to the bound.
std::vector<std::uint32_t> words_near(std::uint64_t bound, std::size_t count, std::uint64_t seed) {
  std::vector<std::uint32_t> out;
  std::uint64_t state = seed;
  for (std::size_t i = 0; i < count; ++i) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    std::uint64_t x = state ^ (state >> 29);
    if (i % 5 == 1) x = bound + (x % 7) - 3;  // around the bound: some accepted, some not
    if (i % 11 == 3) x = ~std::uint64_t{0};   // rejected unless every word is accepted
    out.push_back(static_cast<std::uint32_t>(x));
    out.push_back(static_cast<std::uint32_t>(x >> 32));
  }
  return out;
}

TEST(WordSum, EveryPathAgreesWithTakingTheWordsOneByOne) {
  std::vector<WordSumFunction> paths{&sum_words_portable, fastest_word_sum()};
#if defined(__x86_64__)
  if (__builtin_cpu_supports("avx512f")) paths.push_back(&sum_words_avx512);
#endif
  for (const std::uint64_t n : {1ull, 2ull, 3ull, 6ull, 7ull, 20ull, 1000000007ull, 2147483647ull,
                                3000000019ull, 4294967295ull}) {
    const std::uint64_t most = accept_max_of(n);
    const std::uint64_t m = ~std::uint64_t{0} / n;
    for (const std::size_t count : {0u, 1u, 7u, 8u, 9u, 64u, 131u}) {
      const std::vector<std::uint32_t> words = words_near(most, count, n * 31 + count);
      WordSum expected;
      for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t x = words[2 * i] | static_cast<std::uint64_t>(words[2 * i + 1]) << 32;
        if (x <= most) {
          expected.sum += x % n;
          ++expected.accepted;
        }
      }
      if (most != ~std::uint64_t{0} && count >= 8) {
        ASSERT_LT(expected.accepted, count) << "no word rejected";
      }
      for (const WordSumFunction path : paths) {
        const WordSum got = path(words.data(), count, most, n, m);
        EXPECT_EQ(got.sum, expected.sum) << "n " << n << " count " << count;
        EXPECT_EQ(got.accepted, expected.accepted) << "n " << n << " count " << count;
      }
    }
  }
}

}  // namespace
}  // namespace kavelo::random
