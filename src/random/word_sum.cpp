#include "random/word_sum.hpp"

#include <cstring>

namespace kavelo::random {

namespace {

// x mod n without a division: see RequestRandom::Divisor.
inline std::uint64_t remainder(std::uint64_t x, std::uint64_t n, std::uint64_t m) noexcept {
  const auto q = static_cast<std::uint64_t>((static_cast<unsigned __int128>(x) * m) >> 64);
  const std::uint64_t r = x - q * n;
  return r >= n ? r - n : r;
}

inline std::uint64_t word_at(const std::uint32_t* words, std::uint64_t i) noexcept {
  return words[2 * i] | static_cast<std::uint64_t>(words[2 * i + 1]) << 32;
}

}  // namespace

WordSum sum_words_portable(const std::uint32_t* words, std::uint64_t count,
                           std::uint64_t accept_max, std::uint64_t n, std::uint64_t m) noexcept {
  WordSum out;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t x = word_at(words, i);
    if (x <= accept_max) [[likely]] {
      out.sum += remainder(x, n, m);
      ++out.accepted;
    }
  }
  return out;
}

#if defined(__x86_64__)
namespace {
bool has_avx512() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f");
}
}  // namespace
#endif

WordSumFunction fastest_word_sum() noexcept {
#if defined(__x86_64__)
  static const WordSumFunction function = has_avx512() ? &sum_words_avx512 : &sum_words_portable;
  return function;
#else
  return &sum_words_portable;
#endif
}

}  // namespace kavelo::random
