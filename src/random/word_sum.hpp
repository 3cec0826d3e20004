// Sums of uniform values read straight from the key stream, for rolls that want only the
// total of many dice: each 64-bit word at most accept_max gives the value x mod n, the
// others are rejected, exactly as RequestRandom's draws take them one by one. A portable
// loop, and one with AVX-512 that takes eight words at a time.
#pragma once

#include <cstdint>

namespace kavelo::random {

struct WordSum {
  std::uint64_t sum = 0;       // of the accepted words' values x mod n
  std::uint64_t accepted = 0;  // how many words were accepted
};

// Reads `count` 64-bit words (low 32 bits first) from `words`: the sum of x mod n over
// the words x <= accept_max, and how many those are. `m` is floor((2^64 - 1) / n), and
// n is below 2^32 (so no sum of a few billion values can overflow).
using WordSumFunction = WordSum (*)(const std::uint32_t* words, std::uint64_t count,
                                    std::uint64_t accept_max, std::uint64_t n,
                                    std::uint64_t m) noexcept;

WordSum sum_words_portable(const std::uint32_t* words, std::uint64_t count,
                           std::uint64_t accept_max, std::uint64_t n, std::uint64_t m) noexcept;
#if defined(__x86_64__)
// Only where the processor supports AVX-512F.
WordSum sum_words_avx512(const std::uint32_t* words, std::uint64_t count, std::uint64_t accept_max,
                         std::uint64_t n, std::uint64_t m) noexcept;
#endif

// The fastest of the two this processor runs; decided once.
[[nodiscard]] WordSumFunction fastest_word_sum() noexcept;

}  // namespace kavelo::random
