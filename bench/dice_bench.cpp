// Dice and random-generator throughput: roll_simple per die, raw 64-bit draws,
// uniform_below draws one by one and in bulk, one four-block refill on every path this
// processor runs, and the sixteen-block wide path.
#include <array>
#include <cstdint>
#include <string>

#include "bench.hpp"
#include "calculator/dice_calculator.hpp"
#include "random/chacha12.hpp"
#include "random/request_random.hpp"
#include "resource/resource_policy.hpp"

namespace {

using namespace kavelo;

constexpr std::int32_t kDice = 100000;
constexpr std::uint64_t kDraws = 4096;

std::array<std::uint8_t, 32> bench_key() {
  std::array<std::uint8_t, 32> key{};
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return key;
}

// A real calculator with operating-system entropy: every run is one request with a new
// generator, as a Python call would make it.
KAVELO_BENCHMARK("roll_simple 100000d6 (hard maxima, OS entropy)", "die", kDice, [] {
  static DiceCalculator calculator(ResourcePolicy::hard_maxima());
  auto total = calculator.roll_simple(DiceTerm{kDice, 6, {}});
  if (!total) __builtin_trap();
  bench::do_not_optimize(*total);
});

KAVELO_BENCHMARK("RequestRandom::next_u64", "draw", kDraws, [] {
  static RequestRandom generator(bench_key());
  std::uint64_t mix = 0;
  for (std::uint64_t i = 0; i < kDraws; ++i) mix ^= generator.next_u64();
  bench::do_not_optimize(mix);
});

// The bound comes from memory, as the sides of a die do, so the compiler cannot
// specialise the modulo for a constant.
volatile std::uint64_t six = 6;

KAVELO_BENCHMARK("RequestRandom::uniform_below(6)", "draw", kDraws, [] {
  static RequestRandom generator(bench_key());
  ExecutionBudget budget(ResourcePolicy::hard_maxima());
  const std::uint64_t bound = six;
  std::uint64_t mix = 0;
  for (std::uint64_t i = 0; i < kDraws; ++i) {
    std::uint64_t value = 0;
    if (!generator.try_uniform_below(bound, budget, value)) __builtin_trap();
    mix += value;
  }
  bench::do_not_optimize(mix);
});

struct RefillCases {
  RefillCases() {
    for (chacha12::RefillPath path : chacha12::kAllRefillPaths) {
      chacha12::RefillFunction refill = chacha12::refill_function(path);
      if (refill == nullptr) continue;
      bench::registry().push_back(
          {std::string("chacha12 refill (4 blocks) ") + chacha12::refill_path_name(path), "refill",
           1, [refill] {
             static const chacha12::Key key = chacha12::key_from_bytes(bench_key());
             alignas(64) static std::uint32_t out[chacha12::kRefillWords];
             static std::uint64_t counter = 0;
             refill(key, counter, out);
             counter += chacha12::kBlocksPerRefill;
             bench::do_not_optimize(out[counter & 63]);
           }});
    }
  }
};
const RefillCases refill_cases;

// Sixteen blocks at once, where the processor has the wide path.
KAVELO_BENCHMARK("chacha12 wide (16 blocks)", "16 blocks", 1, [] {
  static const chacha12::Key key = chacha12::key_from_bytes(bench_key());
  alignas(64) static std::uint32_t out[chacha12::kWideWords];
  static std::uint64_t counter = 0;
  static const chacha12::RefillFunction wide = chacha12::wide_refill();
  if (wide == nullptr) return;
  wide(key, counter, out);
  counter += chacha12::kWideBlocks;
  bench::do_not_optimize(out[counter & 255]);
});

// Sums of d6 values from a long stream, as roll_simple draws them.
KAVELO_BENCHMARK("RequestRandom::sum_uniform_below(6), 4096 at a time", "draw", kDraws, [] {
  static RequestRandom generator(bench_key());
  ExecutionBudget budget(ResourcePolicy::hard_maxima());
  std::uint64_t sum = 0;
  if (generator.sum_uniform_below(six, kDraws, budget, sum) != kDraws) __builtin_trap();
  bench::do_not_optimize(sum);
});

// Bulk draws of a d6 from a long stream: the per-word cost without a request around it.
KAVELO_BENCHMARK("RequestRandom::fill_uniform_below(6), 4096 at a time", "draw", kDraws, [] {
  static RequestRandom generator(bench_key());
  static std::uint64_t out[kDraws];
  ExecutionBudget budget(ResourcePolicy::hard_maxima());
  if (generator.fill_uniform_below(six, out, kDraws, budget) != kDraws) __builtin_trap();
  bench::do_not_optimize(out[kDraws - 1]);
});

}  // namespace
