// The random source of one request: ChaCha with 12 rounds, nonce 0, 64-bit block
// counter, read out four blocks at a time as 64-bit words (low word first).
//
// Most requests draw a few words, so the first stretch of four blocks starts with its
// first block alone, unless more than eight words are expected from the start; the
// whole stretch is computed only when a ninth word is drawn. The stream, the block
// counter and the read position are those of whole stretches.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "errors/dice_error.hpp"
#include "random/chacha12.hpp"
#include "random/entropy.hpp"
#include "random/word_sum.hpp"
#include "resource/execution_budget.hpp"

namespace kavelo {

class RequestRandom {
 public:
  static constexpr std::size_t kBufferWords = chacha12::kRefillWords;
  // Bulk draws of at most this many values go word by word.
  static constexpr std::size_t kShortDraw = 8;

  // A generator keyed with the 32 given bytes (key word 0 = bytes 0..3, little-endian).
  explicit RequestRandom(const std::array<std::uint8_t, 32>& key) noexcept;

  // One fill of 32 bytes from `source`; failure texts as the entropy error requires.
  [[nodiscard]] static Result<RequestRandom> from_entropy(EntropySource source);
  [[nodiscard]] static Result<RequestRandom> from_os_entropy() {
    return from_entropy(os_entropy());
  }
  // The key alone, from one fill of `source`, for building a generator in place.
  [[nodiscard]] static Status fill_key(EntropySource source, std::array<std::uint8_t, 32>& key);

  // Uniform value in 0..n-1 (n >= 1) by rejection; one rng_words unit per 64-bit draw,
  // charged before the draw.
  [[nodiscard]] Result<std::uint64_t> uniform_below(std::uint64_t n, ExecutionBudget& budget);

  // The allocation-free core of uniform_below: true with the value in `out`, or false
  // when the rng_words charge was refused (nothing drawn, the generator unmoved).
  [[nodiscard]] bool try_uniform_below(std::uint64_t n, ExecutionBudget& budget,
                                       std::uint64_t& out) noexcept {
    if (n != divisor_.n) prepare_bound(n);
    for (;;) {
      if (!budget.try_charge(Resource::RngWords, 1)) return false;
      const std::uint64_t x = next_u64();
      if (x <= accept_max_) {
        out = divisor_.remainder(x);
        return true;
      }
    }
  }

  // `count` uniform values in 0..n-1 into out[0..count), each drawn and charged exactly
  // as by uniform_below, in order. Returns how many were written: fewer than `count`
  // only when an rng_words charge was refused, which leaves the generator just after
  // the last word drawn. Keeps the read position and the charge count in registers,
  // for rolling many dice at once.
  [[nodiscard]] std::size_t fill_uniform_below(std::uint64_t n, std::uint64_t* out,
                                               std::size_t count, ExecutionBudget& budget) noexcept;

  // Draws what fill_uniform_below(n, ..., count, budget) would, with the same words and
  // charges, but only adds the values into `sum` (which it increases) instead of
  // writing them; returns how many were drawn. n must be below 2^32.
  [[nodiscard]] std::size_t sum_uniform_below(std::uint64_t n, std::size_t count,
                                              ExecutionBudget& budget, std::uint64_t& sum) noexcept;

  // Tells the generator that at least `words` words are about to be drawn: more than
  // eight before the first draw, and the first stretch is computed whole at once
  // (computing its first block alone would then be work done twice). Changes nothing
  // in the stream.
  void expect_words(std::uint64_t words) noexcept {
    if (words > chacha12::kBlockWords / 2) whole_first_stretch_ = true;
  }

  // The next 64-bit word of the stream.
  [[nodiscard]] std::uint64_t next_u64() noexcept {
    if (index_ == filled_) refill();
    const std::uint64_t word = word_at(index_);
    index_ += 2;
    return word;
  }

  [[nodiscard]] std::uint64_t block_counter() const noexcept { return counter_; }
  [[nodiscard]] unsigned index() const noexcept { return index_; }

 private:
  using Wide = unsigned __int128;

  // Moves to the next stretch of four blocks (index_ at its end), or computes the rest
  // of the first stretch (index_ at the end of its first block).
  void refill() noexcept;

  // Words index and index+1 of `source`, the first as the low half.
  [[nodiscard]] static std::uint64_t word_at(const std::uint32_t* source, unsigned index) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
      std::uint64_t word;
      std::memcpy(&word, source + index, sizeof word);
      return word;
    } else {
      return source[index] | static_cast<std::uint64_t>(source[index + 1]) << 32;
    }
  }
  [[nodiscard]] std::uint64_t word_at(unsigned index) const noexcept {
    return word_at(buffer_.data(), index);
  }

  // Remainders by a fixed n without a division instruction. With
  // m = floor((2^64 - 1) / n), q = floor(x * m / 2^64) is floor(x / n) or one less
  // (x * m / 2^64 falls short of x / n by x (1 + (2^64 - 1) mod n) / (n 2^64) < 1), so
  // x - q n lies in [0, 2n) and one conditional subtraction gives x mod n, for every
  // 64-bit x and every n >= 1.
  struct Divisor {
    std::uint64_t n = 0;  // 0: nothing prepared yet
    std::uint64_t m = 0;

    [[nodiscard]] std::uint64_t remainder(std::uint64_t x) const noexcept {
      const auto q = static_cast<std::uint64_t>((static_cast<Wide>(x) * m) >> 64);
      const std::uint64_t r = x - q * n;
      return r >= n ? r - n : r;
    }
  };

  // Caches what uniform_below needs for bound n: the divisor and the largest accepted
  // word, 2^64 - (2^64 mod n) - 1 (2^64 mod n is (2^64 - n) mod n).
  void prepare_bound(std::uint64_t n) noexcept {
    divisor_.n = n;
    divisor_.m = ~std::uint64_t{0} / n;
    accept_max_ = ~std::uint64_t{0} - (std::uint64_t{0} - n) % n;
  }

  // A bulk draw in progress: values written to out[0..count), or only summed into `sum`
  // when `out` is null, 64-bit words read against the rng_words room.
  struct Draws {
    Divisor divisor;
    std::uint64_t accept_max;
    std::uint64_t* out;
    std::size_t count;
    std::uint64_t room;
    random::WordSumFunction sum_words = nullptr;
    std::uint64_t words = 0;
    std::size_t filled = 0;
    std::uint64_t sum = 0;

    [[nodiscard]] bool more() const noexcept { return filled < count && words < room; }
    [[nodiscard]] std::size_t left() const noexcept { return count - filled; }

    // Reads words from source[index..end) while more values are wanted. Each word gives
    // at most one value, so a run of words no longer than the values wanted, the room
    // and the source has no check but the rejection's; runs repeat while words are
    // rejected.
    void take(const std::uint32_t* source, unsigned& index, unsigned end) noexcept {
      while (index != end && more()) {
        const std::uint64_t run = std::min<std::uint64_t>(
            std::min<std::uint64_t>((end - index) / 2, room - words), count - filled);
        const std::uint32_t* word = source + index;
        if (out == nullptr) {
          const random::WordSum got = sum_words(word, run, accept_max, divisor.n, divisor.m);
          sum += got.sum;
          filled += static_cast<std::size_t>(got.accepted);
        } else {
          std::uint64_t* next = out + filled;
          for (std::uint64_t i = 0; i < run; ++i, word += 2) {
            const std::uint64_t x = word_at(word, 0);
            if (x <= accept_max) [[likely]]
              *next++ = divisor.remainder(x);
          }
          filled = static_cast<std::size_t>(next - out);
        }
        index += static_cast<unsigned>(2 * run);
        words += run;
      }
    }
  };

  // fill_uniform_below, or its sum when draws.out is null.
  void draw_bulk(Draws& draws, ExecutionBudget& budget) noexcept;

  // Reads `draws` from the next sixteen blocks, computed at once by `wide`, and leaves
  // the generator as stretch-by-stretch reading would; returns the new read position.
  [[gnu::noinline]] unsigned draw_wide(chacha12::RefillFunction wide, Draws& draws) noexcept;

  chacha12::Key key_;
  std::uint64_t counter_ = 0;
  unsigned index_ = kBufferWords;
  // End of the words of the buffer computed so far: the whole buffer, or only its first
  // block at the start of the stream.
  unsigned filled_ = kBufferWords;
  bool whole_first_stretch_ = false;
  Divisor divisor_;
  std::uint64_t accept_max_ = 0;
  // Always refilled before it is read (the index starts at its end): no initial value.
  alignas(64) std::array<std::uint32_t, kBufferWords> buffer_;
};

}  // namespace kavelo
