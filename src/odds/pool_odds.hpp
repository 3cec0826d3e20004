// The pool phase of a term: the chain of pool modifiers as the roller applies it, and
// the distribution of what the chain leaves, over a pool of independent, identical dice.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "odds/die_groups.hpp"
#include "odds/distribution.hpp"

namespace kavelo::odds {

enum class PoolKind : std::uint8_t { KeepHigh, KeepLow, DropHigh, DropLow, Unique, Count };

struct PoolStep {
  PoolKind kind = PoolKind::KeepHigh;
  // Keep and drop: how many values, a negative n read as more than any pool.
  std::uint64_t n = 0;
  // Count: the value counted.
  std::int64_t target = 0;
};

// The pool modifiers of a term in the order the roller applies them: every `k` first,
// then the others as written. Sort is left out: it changes no total, and every later
// step depends on the values only, not on their order.
[[nodiscard]] std::vector<PoolStep> pool_chain(std::span<const DiceModifier> modifiers);

// The total the roller gives for `values` after `steps` (a direct application, for
// small pools).
[[nodiscard]] std::int64_t apply_steps(std::vector<std::int64_t> values,
                                       std::span<const PoolStep> steps);

// The distribution of the total of `count` dice whose groups follow `groups`, after
// `steps`. Each die finishes with probability die_mass(groups). `trim_budget` is the
// mass that sums of exploding dice may move from their endless upper tails into the
// truncated mass.
[[nodiscard]] OddsResult<Dist> pool_odds(const GroupTable& groups, std::uint64_t count,
                                         std::span<const PoolStep> steps, double trim_budget,
                                         Meter& meter);

}  // namespace kavelo::odds

namespace kavelo::odds {

// The distribution of one die's total: the sum of its group.
[[nodiscard]] OddsResult<Dist> die_total(const GroupTable& groups, Meter& meter);

// The probability that one die finishes: the mass of its groups.
[[nodiscard]] double die_mass(const GroupTable& groups) noexcept;

}  // namespace kavelo::odds
