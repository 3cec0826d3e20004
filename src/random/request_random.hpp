// The random source of one request: ChaCha with 12 rounds, nonce 0, 64-bit block
// counter, read out four blocks at a time as 64-bit words (low word first).
#pragma once

#include <array>
#include <cstdint>

#include "errors/dice_error.hpp"
#include "random/chacha12.hpp"
#include "random/entropy.hpp"
#include "resource/execution_budget.hpp"

namespace kavelo {

class RequestRandom {
 public:
  static constexpr std::size_t kBufferWords = chacha12::kRefillWords;

  // A generator keyed with the 32 given bytes (key word 0 = bytes 0..3, little-endian).
  explicit RequestRandom(const std::array<std::uint8_t, 32>& key) noexcept;

  // One fill of 32 bytes from `source`; failure texts as the entropy error requires.
  [[nodiscard]] static Result<RequestRandom> from_entropy(EntropySource source);
  [[nodiscard]] static Result<RequestRandom> from_os_entropy() { return from_entropy(os_entropy()); }

  // Uniform value in 0..n-1 (n >= 1) by rejection; one rng_words unit per 64-bit draw,
  // charged before the draw.
  [[nodiscard]] Result<std::uint64_t> uniform_below(std::uint64_t n, ExecutionBudget& budget);

  // The allocation-free core of uniform_below: true with the value in `out`, or false
  // when the rng_words charge was refused (nothing drawn, the generator unmoved).
  [[nodiscard]] bool try_uniform_below(std::uint64_t n, ExecutionBudget& budget,
                                       std::uint64_t& out) noexcept {
    for (;;) {
      if (!budget.try_charge(Resource::rng_words, 1)) return false;
      std::uint64_t x = next_u64();
      const unsigned __int128 two64 = static_cast<unsigned __int128>(1) << 64;
      const unsigned __int128 zone = two64 - two64 % n;
      if (x < zone) {
        out = x % n;
        return true;
      }
    }
  }

  // The next 64-bit word of the stream.
  [[nodiscard]] std::uint64_t next_u64() noexcept {
    if (index_ == kBufferWords) refill();
    std::uint64_t low = buffer_[index_];
    std::uint64_t high = buffer_[index_ + 1];
    index_ += 2;
    return low | high << 32;
  }

  [[nodiscard]] std::uint64_t block_counter() const noexcept { return counter_; }
  [[nodiscard]] unsigned index() const noexcept { return index_; }

 private:
  void refill() noexcept;

  chacha12::Key key_;
  std::uint64_t counter_ = 0;
  unsigned index_ = kBufferWords;
  alignas(64) std::array<std::uint32_t, kBufferWords> buffer_{};
};

}  // namespace kavelo
