// The odds of one dice term: the dice's groups from their per-die modifiers, then the
// sum of all values, or what the pool modifiers leave of them.
#include <algorithm>
#include <string>

#include "calculator/dice_calculator.hpp"
#include "odds/die_groups.hpp"
#include "odds/odds.hpp"
#include "odds/pool_odds.hpp"

namespace kavelo::odds {

namespace {

std::string term_text(const DiceTerm& term) {
  return std::to_string(term.count) + "d" + std::to_string(term.sides) +
         DiceCalculator::modifiers_to_string(term.modifiers);
}

}  // namespace

OddsResult<Dist> term_odds(const DiceTerm& term, double tolerance, Meter& meter) {
  if (term.count < 1 || term.sides < 1) return Dist::certain_failure(Failure::InvalidDice);
  const auto count = static_cast<std::uint64_t>(term.count);
  const auto sides = static_cast<std::uint32_t>(term.sides);
  const std::vector<PoolStep> steps = pool_chain(term.modifiers);
  const bool explode =
      std::ranges::any_of(term.modifiers, [](const DiceModifier& m) { return is_explode(m.kind); });
  const bool reroll =
      std::ranges::any_of(term.modifiers, [](const DiceModifier& m) { return is_reroll(m.kind); });

  if (steps.empty() && !explode && !reroll) {
    // Plain dice: the sum of `count` uniform faces.
    KAVELO_ODDS_TRY(meter.outcomes(sides, "one die's faces"));
    KAVELO_ODDS_TRY(meter.work(4 * static_cast<std::uint64_t>(sides)));
    std::vector<std::int64_t> values(sides);
    std::vector<double> probs(sides, 1.0 / static_cast<double>(sides));
    for (std::uint32_t f = 0; f < sides; ++f) values[f] = static_cast<std::int64_t>(f) + 1;
    auto one = Dist::from_sorted(std::move(values), std::move(probs), meter, "one die's faces");
    if (!one) return one;
    return sum_of_copies(*one, count, meter, 0.0);
  }

  // Half the tolerance for cutting each die's explosions, shared among the dice; the
  // other half for the upper tails of their sums.
  const double die_tolerance = explode ? tolerance / 2.0 / static_cast<double>(count) : tolerance;
  const double trim_budget = explode ? tolerance / 2.0 : 0.0;
  auto groups = die_groups(sides, term.modifiers, die_tolerance, term_text(term), meter);
  if (!groups) return std::unexpected(std::move(groups.error()));
  if (steps.empty()) {
    auto one = die_total(*groups, meter);
    if (!one) return one;
    return sum_of_copies(*one, count, meter, trim_budget);
  }
  return pool_odds(*groups, count, steps, trim_budget, meter);
}

}  // namespace kavelo::odds
