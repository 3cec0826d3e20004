// roll_simple: the sum of one term. A term without modifiers is summed as its faces are
// drawn (RequestRandom::sum_uniform_below), instead of being stored one value per die
// and summed afterwards: the same faces, charges and errors as the general roll, without
// writing and reading back eight bytes a die.
#include <algorithm>

#include "calculator/checked_sum.hpp"
#include "calculator/dice_calculator.hpp"
#include "text/decimal_text.hpp"

namespace kavelo {

Result<std::int64_t> DiceCalculator::roll_simple(const DiceTerm& dice) {
  reset_request();
  KAVELO_TRY(budget_.charge(Resource::ExecutedInstructions, 1));
  KAVELO_TRY(budget_.charge(Resource::WorkUnits, 1));
  Result<std::int64_t> total = 0;
  if (dice.modifiers.empty() && trace_ == nullptr) {
    total = sum_plain_term(dice);
  } else {
    auto groups = roll_dice_with_budget(dice);
    if (!groups) return std::unexpected(std::move(groups.error()));
    total = checked_sum(groups->values(), "simple roll aggregation");
  }
  if (!total) return total;
  KAVELO_TRY(budget_.charge(Resource::OutputItems, 1));
  KAVELO_TRY(budget_.charge(Resource::OutputBytes, decimal_length(*total)));
  return total;
}

// The steps of roll_term for a term of plain dice, in its order: the same comparisons
// with the limits, one bulk draw of every face whose generated_values and work_units
// charges fit, and any die after those drawn alone, which fails at its first refused
// charge with the error the general roll gives.
Result<std::int64_t> DiceCalculator::sum_plain_term(const DiceTerm& dice) {
  if (dice.count < 1 || dice.sides < 1) {
    return std::unexpected(DiceError::of(ErrorId::DiceNotPositive));
  }
  const auto count = static_cast<std::uint64_t>(dice.count);
  KAVELO_TRY(budget_.ensure(Resource::SourceItems, count));
  KAVELO_TRY(budget_.ensure(Resource::CollectionItems, count));
  KAVELO_TRY(ensure_generator());
  RequestRandom& generator = *generator_;
  generator.expect_words(count);
  const auto sides = static_cast<std::uint32_t>(dice.sides);

  auto room_of = [&](Resource r) { return budget_.limit(r) - budget_.used(r); };
  const std::uint64_t whole =
      std::min(count, std::min(room_of(Resource::GeneratedValues), room_of(Resource::WorkUnits)));
  // The faces' values below `sides` summed as drawn; each face adds one more.
  std::uint64_t values = 0;
  std::uint64_t drawn =
      generator.sum_uniform_below(sides, static_cast<std::size_t>(whole), budget_, values);
  std::int64_t total = 0;
  bool overflow = __builtin_add_overflow(values, drawn, &total);
  if (drawn < whole) {
    (void)budget_.try_charge(Resource::GeneratedValues, drawn);
    (void)budget_.try_charge(Resource::WorkUnits, drawn);
    return std::unexpected(budget_.exceeded(Resource::RngWords, 1));
  }
  (void)budget_.try_charge(Resource::GeneratedValues, drawn);
  (void)budget_.try_charge(Resource::WorkUnits, drawn);
  for (; drawn < count; ++drawn) {
    std::uint64_t value = 0;
    if (!generator.try_uniform_below(sides, budget_, value)) {
      return std::unexpected(budget_.exceeded(Resource::RngWords, 1));
    }
    for (const Resource resource : {Resource::GeneratedValues, Resource::WorkUnits}) {
      if (!budget_.try_charge(resource, 1)) return std::unexpected(budget_.exceeded(resource, 1));
    }
    overflow |= __builtin_add_overflow(total, static_cast<std::int64_t>(value) + 1, &total);
  }
  KAVELO_TRY(budget_.ensure(Resource::CollectionItems, count));
  if (overflow) return std::unexpected(DiceError::arithmetic_overflow("simple roll aggregation"));
  return total;
}

}  // namespace kavelo
