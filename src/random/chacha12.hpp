// The ChaCha block function with 12 rounds, nonce 0 and a 64-bit block counter (low half
// in state word 12, carrying into word 13), as used by the request generator.
//
// A refill computes four consecutive blocks into 64 words. The implementations of the
// refill produce identical output: a portable scalar one; on x86-64 one with SSE2
// (always present there) and ones with AVX2 and AVX-512 (the widest the processor has is
// chosen at run time); on 64-bit ARM one with NEON (always present there). All of them
// are reachable here so that each can be checked against known answers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kavelo::chacha12 {

inline constexpr std::size_t kKeyWords = 8;
inline constexpr std::size_t kBlockWords = 16;
inline constexpr std::size_t kBlocksPerRefill = 4;
inline constexpr std::size_t kRefillWords = kBlockWords * kBlocksPerRefill;
inline constexpr int kDoubleRounds = 6;

// "expand 32-byte k" as little-endian words.
inline constexpr std::array<std::uint32_t, 4> kConstants{0x61707865u, 0x3320646eu, 0x79622d32u,
                                                         0x6b206574u};

using Key = std::array<std::uint32_t, kKeyWords>;

// The key words of 32 key bytes: word i is bytes 4i..4i+3, little-endian.
[[nodiscard]] Key key_from_bytes(const std::array<std::uint8_t, 32>& bytes) noexcept;

// One key-stream block: the 16 output words of block number `counter`.
void block(const Key& key, std::uint64_t counter, std::uint32_t* out) noexcept;
// The same block computed with the widest code for a single block (SSE2 on x86-64):
// about half the instructions of a four-block refill, for streams that need few words.
void single_block(const Key& key, std::uint64_t counter, std::uint32_t* out) noexcept;

// Blocks counter, counter+1, counter+2, counter+3 into out[0..63], in that order.
using RefillFunction = void (*)(const Key& key, std::uint64_t counter, std::uint32_t* out) noexcept;

enum class RefillPath : std::uint8_t { Scalar, Sse2, Avx2, Avx512, Neon };
inline constexpr std::array<RefillPath, 5> kAllRefillPaths{
    RefillPath::Scalar, RefillPath::Sse2, RefillPath::Avx2, RefillPath::Avx512, RefillPath::Neon};

[[nodiscard]] const char* refill_path_name(RefillPath path) noexcept;

// The implementation of a path, or nullptr when this build or this processor lacks it.
[[nodiscard]] RefillFunction refill_function(RefillPath path) noexcept;

// The fastest path this processor runs; decided once.
[[nodiscard]] RefillPath fastest_refill_path() noexcept;
[[nodiscard]] RefillFunction fastest_refill() noexcept;

// Sixteen blocks, counter..counter+15, into out[0..255]: the words of four consecutive
// refills, for long draws. The wide path exists only with AVX-512, where it takes about
// half the time of four refills; wide_refill() gives it where the processor has it and
// nullptr elsewhere (decided once).
inline constexpr std::size_t kWideBlocks = 16;
inline constexpr std::size_t kWideWords = kBlockWords * kWideBlocks;
[[nodiscard]] RefillFunction wide_refill() noexcept;

void refill_scalar(const Key& key, std::uint64_t counter, std::uint32_t* out) noexcept;
#if defined(__x86_64__)
void refill_sse2(const Key& key, std::uint64_t counter, std::uint32_t* out) noexcept;
void block_sse2(const Key& key, std::uint64_t counter, std::uint32_t* out) noexcept;
// Only to be called where the processor supports AVX2, respectively AVX-512F.
void refill_avx2(const Key& key, std::uint64_t counter, std::uint32_t* out) noexcept;
void refill_avx512(const Key& key, std::uint64_t counter, std::uint32_t* out) noexcept;
void wide_avx512(const Key& key, std::uint64_t counter, std::uint32_t* out) noexcept;
#endif
#if defined(__aarch64__)
void refill_neon(const Key& key, std::uint64_t counter, std::uint32_t* out) noexcept;
#endif

}  // namespace kavelo::chacha12
