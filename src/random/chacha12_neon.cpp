// Four ChaCha-12 blocks with NEON, which every 64-bit ARM processor has: one 128-bit
// register per state word, its four lanes the four blocks. A double round is then eight
// quarter rounds on whole registers with no shuffles between them; the rotation by 16 is
// one byte-pair swap, the others a shift and a shift-and-insert. The blocks are written
// out four words at a time at the end.
#include "random/chacha12.hpp"

#if defined(__aarch64__)

#include <arm_neon.h>

namespace kavelo::chacha12 {

namespace {

template <int Bits>
inline uint32x4_t rotl(uint32x4_t v) noexcept {
  return vsriq_n_u32(vshlq_n_u32(v, Bits), v, 32 - Bits);
}

template <>
inline uint32x4_t rotl<16>(uint32x4_t v) noexcept {
  return vreinterpretq_u32_u16(vrev32q_u16(vreinterpretq_u16_u32(v)));
}

inline void quarter_round(uint32x4_t& a, uint32x4_t& b, uint32x4_t& c, uint32x4_t& d) noexcept {
  a = vaddq_u32(a, b);
  d = rotl<16>(veorq_u32(d, a));
  c = vaddq_u32(c, d);
  b = rotl<12>(veorq_u32(b, c));
  a = vaddq_u32(a, b);
  d = rotl<8>(veorq_u32(d, a));
  c = vaddq_u32(c, d);
  b = rotl<7>(veorq_u32(b, c));
}

// The input state of blocks counter..counter+3, word by word: the 64-bit counter is
// split per block, so a carry into the high word happens in the block that needs it.
inline void input_state(const Key& key, std::uint64_t counter, uint32x4_t* x) noexcept {
  for (std::size_t i = 0; i < 4; ++i) x[i] = vdupq_n_u32(kConstants[i]);
  for (std::size_t i = 0; i < kKeyWords; ++i) x[4 + i] = vdupq_n_u32(key[i]);
  std::uint32_t low[4];
  std::uint32_t high[4];
  for (std::size_t b = 0; b < 4; ++b) {
    low[b] = static_cast<std::uint32_t>(counter + b);
    high[b] = static_cast<std::uint32_t>((counter + b) >> 32);
  }
  x[12] = vld1q_u32(low);
  x[13] = vld1q_u32(high);
  x[14] = vdupq_n_u32(0);
  x[15] = vdupq_n_u32(0);
}

}  // namespace

void refill_neon(const Key& key, std::uint64_t counter, std::uint32_t* out) noexcept {
  uint32x4_t x[kBlockWords];
  input_state(key, counter, x);
  for (int round = 0; round < kDoubleRounds; ++round) {
    quarter_round(x[0], x[4], x[8], x[12]);
    quarter_round(x[1], x[5], x[9], x[13]);
    quarter_round(x[2], x[6], x[10], x[14]);
    quarter_round(x[3], x[7], x[11], x[15]);
    quarter_round(x[0], x[5], x[10], x[15]);
    quarter_round(x[1], x[6], x[11], x[12]);
    quarter_round(x[2], x[7], x[8], x[13]);
    quarter_round(x[3], x[4], x[9], x[14]);
  }
  // The input again rather than kept through the rounds, which would need 32 registers.
  uint32x4_t input[kBlockWords];
  input_state(key, counter, input);
  for (std::size_t w = 0; w < kBlockWords; w += 4) {
    const uint32x4x4_t words{{vaddq_u32(x[w], input[w]), vaddq_u32(x[w + 1], input[w + 1]),
                              vaddq_u32(x[w + 2], input[w + 2]),
                              vaddq_u32(x[w + 3], input[w + 3])}};
    // Lane b of the four registers is words w..w+3 of block b.
    vst4q_lane_u32(out + w, words, 0);
    vst4q_lane_u32(out + kBlockWords + w, words, 1);
    vst4q_lane_u32(out + 2 * kBlockWords + w, words, 2);
    vst4q_lane_u32(out + 3 * kBlockWords + w, words, 3);
  }
}

}  // namespace kavelo::chacha12

#endif  // __aarch64__
