#include "random/chacha12.hpp"

#include <bit>
#include <cstring>

namespace kavelo::chacha12 {

namespace {

inline void quarter_round(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c,
                          std::uint32_t& d) noexcept {
  a += b;
  d = std::rotl(d ^ a, 16);
  c += d;
  b = std::rotl(b ^ c, 12);
  a += b;
  d = std::rotl(d ^ a, 8);
  c += d;
  b = std::rotl(b ^ c, 7);
}

#if defined(__x86_64__)
bool cpu_has(RefillPath path) noexcept {
  __builtin_cpu_init();
  switch (path) {
    case RefillPath::Scalar:
    case RefillPath::Sse2: return true;
    case RefillPath::Avx2: return __builtin_cpu_supports("avx2");
    case RefillPath::Avx512: return __builtin_cpu_supports("avx512f");
    case RefillPath::Neon: return false;
  }
  return false;
}
#endif

RefillPath detect_fastest() noexcept {
#if defined(__x86_64__)
  if (cpu_has(RefillPath::Avx512)) return RefillPath::Avx512;
  if (cpu_has(RefillPath::Avx2)) return RefillPath::Avx2;
  return RefillPath::Sse2;
#elif defined(__aarch64__)
  // Under emulation a refill takes 920 instructions with NEON, 2,590 without
  // (benchmarks/refill_instructions.sh).
  return RefillPath::Neon;
#else
  return RefillPath::Scalar;
#endif
}

}  // namespace

Key key_from_bytes(const std::array<std::uint8_t, 32>& bytes) noexcept {
  Key key;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(key.data(), bytes.data(), sizeof key);
  } else {
    for (std::size_t i = 0; i < kKeyWords; ++i) {
      key[i] = static_cast<std::uint32_t>(bytes[4 * i]) |
               static_cast<std::uint32_t>(bytes[4 * i + 1]) << 8 |
               static_cast<std::uint32_t>(bytes[4 * i + 2]) << 16 |
               static_cast<std::uint32_t>(bytes[4 * i + 3]) << 24;
    }
  }
  return key;
}

void block(const Key& key, std::uint64_t counter, std::uint32_t* out) noexcept {
  std::uint32_t input[kBlockWords] = {
      kConstants[0],
      kConstants[1],
      kConstants[2],
      kConstants[3],
      key[0],
      key[1],
      key[2],
      key[3],
      key[4],
      key[5],
      key[6],
      key[7],
      static_cast<std::uint32_t>(counter),
      static_cast<std::uint32_t>(counter >> 32),
      0,
      0,
  };
  std::uint32_t x[kBlockWords];
  for (std::size_t i = 0; i < kBlockWords; ++i) x[i] = input[i];
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
  for (std::size_t i = 0; i < kBlockWords; ++i) out[i] = x[i] + input[i];
}

void single_block(const Key& key, std::uint64_t counter, std::uint32_t* out) noexcept {
#if defined(__x86_64__)
  block_sse2(key, counter, out);
#else
  block(key, counter, out);
#endif
}

void refill_scalar(const Key& key, std::uint64_t counter, std::uint32_t* out) noexcept {
  for (std::size_t b = 0; b < kBlocksPerRefill; ++b) {
    block(key, counter + b, out + b * kBlockWords);
  }
}

const char* refill_path_name(RefillPath path) noexcept {
  switch (path) {
    case RefillPath::Scalar: return "scalar";
    case RefillPath::Sse2: return "sse2";
    case RefillPath::Avx2: return "avx2";
    case RefillPath::Avx512: return "avx512";
    case RefillPath::Neon: return "neon";
  }
  return "unknown";
}

RefillFunction refill_function(RefillPath path) noexcept {
#if defined(__x86_64__)
  if (!cpu_has(path)) return nullptr;
  switch (path) {
    case RefillPath::Scalar: return &refill_scalar;
    case RefillPath::Sse2: return &refill_sse2;
    case RefillPath::Avx2: return &refill_avx2;
    case RefillPath::Avx512: return &refill_avx512;
    case RefillPath::Neon: return nullptr;
  }
  return nullptr;
#elif defined(__aarch64__)
  if (path == RefillPath::Neon) return &refill_neon;
  return path == RefillPath::Scalar ? &refill_scalar : nullptr;
#else
  return path == RefillPath::Scalar ? &refill_scalar : nullptr;
#endif
}

RefillFunction wide_refill() noexcept {
#if defined(__x86_64__)
  static const RefillFunction function = cpu_has(RefillPath::Avx512) ? &wide_avx512 : nullptr;
  return function;
#else
  return nullptr;
#endif
}

RefillPath fastest_refill_path() noexcept {
  static const RefillPath path = detect_fastest();
  return path;
}

RefillFunction fastest_refill() noexcept {
  static const RefillFunction function = refill_function(fastest_refill_path());
  return function;
}

}  // namespace kavelo::chacha12
