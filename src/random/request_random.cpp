#include "random/request_random.hpp"

#include <algorithm>
#include <cerrno>
#include <string>

namespace kavelo {

RequestRandom::RequestRandom(const std::array<std::uint8_t, 32>& key) noexcept
    : key_(chacha12::key_from_bytes(key)) {}

Status RequestRandom::fill_key(EntropySource source, std::array<std::uint8_t, 32>& key) {
  if (source.fill(source.context, key.data(), key.size()) != 0) {
    // errno must be read before anything else can change it.
    int error = errno;
    std::string description = error > 0 ? "OS Error: " + std::to_string(error)
                                        : std::string("errno: did not return a positive value");
    return std::unexpected(DiceError::entropy_unavailable(std::move(description)));
  }
  return {};
}

Result<RequestRandom> RequestRandom::from_entropy(EntropySource source) {
  std::array<std::uint8_t, 32> key;
  KAVELO_TRY(fill_key(source, key));
  return RequestRandom(key);
}

Result<std::uint64_t> RequestRandom::uniform_below(std::uint64_t n, ExecutionBudget& budget) {
  std::uint64_t value = 0;
  if (!try_uniform_below(n, budget, value)) {
    return std::unexpected(budget.exceeded(Resource::RngWords, 1));
  }
  return value;
}

[[gnu::always_inline]] inline void RequestRandom::draw_bulk(Draws& draws,
                                                            ExecutionBudget& budget) noexcept {
  // The read position in locals: the loop calls refill() now and then, and anything left
  // in members would be stored and reloaded around every run of words.
  unsigned index = index_;
  unsigned end = filled_;
  while (draws.more()) {
    if (index == end) {
      // At the end of a whole stretch, with a long draw ahead: sixteen blocks at once.
      if (end == kBufferWords && draws.left() >= chacha12::kWideWords / 4) {
        if (const chacha12::RefillFunction wide = chacha12::wide_refill()) {
          index = draw_wide(wide, draws);
          continue;
        }
      }
      index_ = index;
      refill();
      index = index_;
      end = filled_;
    }
    draws.take(buffer_.data(), index, end);
  }
  index_ = index;
  // Within the room measured at the start, so this cannot be refused.
  (void)budget.try_charge(Resource::RngWords, draws.words);
}

std::size_t RequestRandom::fill_uniform_below(std::uint64_t n, std::uint64_t* out,
                                              std::size_t count, ExecutionBudget& budget) noexcept {
  if (n != divisor_.n) prepare_bound(n);
  if (count <= kShortDraw) {
    // A few dice, the most common roll: word by word, with less set-up than the runs.
    const std::uint64_t room = budget.limit(Resource::RngWords) - budget.used(Resource::RngWords);
    std::uint64_t words = 0;
    std::size_t filled = 0;
    while (filled < count && words < room) {
      ++words;
      const std::uint64_t x = next_u64();
      if (x <= accept_max_) out[filled++] = divisor_.remainder(x);
    }
    (void)budget.try_charge(Resource::RngWords, words);
    return filled;
  }
  Draws draws{divisor_, accept_max_, out, count,
              budget.limit(Resource::RngWords) - budget.used(Resource::RngWords)};
  draw_bulk(draws, budget);
  return draws.filled;
}

std::size_t RequestRandom::sum_uniform_below(std::uint64_t n, std::size_t count,
                                             ExecutionBudget& budget, std::uint64_t& sum) noexcept {
  if (n != divisor_.n) prepare_bound(n);
  Draws draws{divisor_,
              accept_max_,
              nullptr,
              count,
              budget.limit(Resource::RngWords) - budget.used(Resource::RngWords),
              random::fastest_word_sum()};
  draw_bulk(draws, budget);
  sum += draws.sum;
  return draws.filled;
}

unsigned RequestRandom::draw_wide(chacha12::RefillFunction wide, Draws& draws) noexcept {
  alignas(64) std::array<std::uint32_t, chacha12::kWideWords> words;
  wide(key_, counter_, words.data());
  unsigned at = 0;
  draws.take(words.data(), at, chacha12::kWideWords);
  // The buffer becomes the stretch of four blocks that holds the last word read (at
  // least one was: the draw wanted more), as if the stretches had been refilled one by
  // one: a stretch read to its end stays current until the next word is wanted.
  const unsigned stretch = (at - 1) / static_cast<unsigned>(kBufferWords);
  std::memcpy(buffer_.data(), words.data() + stretch * kBufferWords, sizeof buffer_);
  counter_ += (stretch + 1) * chacha12::kBlocksPerRefill;
  filled_ = kBufferWords;
  return at - stretch * static_cast<unsigned>(kBufferWords);
}

void RequestRandom::refill() noexcept {
  if (index_ != kBufferWords) {
    // The rest of the first stretch. The refill computes its first block again, to the
    // same words, which keeps every path a plain four-block refill.
    chacha12::fastest_refill()(key_, counter_ - chacha12::kBlocksPerRefill, buffer_.data());
    filled_ = kBufferWords;
    return;
  }
  if (counter_ == 0 && !whole_first_stretch_) {
    chacha12::single_block(key_, counter_, buffer_.data());
    filled_ = chacha12::kBlockWords;
  } else {
    chacha12::fastest_refill()(key_, counter_, buffer_.data());
    filled_ = kBufferWords;
  }
  counter_ += chacha12::kBlocksPerRefill;
  index_ = 0;
}

}  // namespace kavelo
