// The distribution of one die's group after the per-die phase: its first face, the faces
// its explosions added, and what its rerolls made of them, in roll order.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "odds/meter.hpp"
#include "types/expression.hpp"

namespace kavelo::odds {

// Groups with their probabilities, stored flat: group i is values[ends[i-1], ends[i]).
struct GroupTable {
  std::vector<std::int64_t> values;
  std::vector<std::uint32_t> ends;
  std::vector<double> probs;
  // The probability that the die's explosions go on past the last group listed.
  double truncated = 0.0;
  CellHold hold;

  [[nodiscard]] std::size_t size() const noexcept { return probs.size(); }
  [[nodiscard]] std::span<const std::int64_t> group(std::size_t i) const noexcept {
    const std::size_t begin = i == 0 ? 0 : ends[i - 1];
    return std::span<const std::int64_t>(values).subspan(begin, ends[i] - begin);
  }
  void push(std::span<const std::int64_t> group, double p) {
    values.insert(values.end(), group.begin(), group.end());
    ends.push_back(static_cast<std::uint32_t>(values.size()));
    probs.push_back(p);
  }
};

// The groups of one die of `sides` sides (at least 1) under the per-die modifiers of
// `modifiers` (the others are ignored). Explosions are followed until the probability of
// going on is at most `tolerance`. A die that can go on without end with a probability
// that never shrinks (a one-sided die exploding, a reroll-until matching every face) is
// refused with an "[odds.endless]" error naming `term`.
[[nodiscard]] OddsResult<GroupTable> die_groups(std::uint32_t sides,
                                                std::span<const DiceModifier> modifiers,
                                                double tolerance, std::string_view term,
                                                Meter& meter);

}  // namespace kavelo::odds
