#include "calculator/dice_calculator.hpp"

#include "calculator/checked_sum.hpp"
#include "text/decimal_text.hpp"

namespace kavelo {

DiceCalculator::DiceCalculator(const ResourcePolicy& policy, EntropySource entropy) noexcept
    : policy_(policy), budget_(policy), entropy_(entropy) {}

void DiceCalculator::reset_request() noexcept {
  budget_ = ExecutionBudget(policy_);
  nesting_depth_ = 0;
  reroll_scans_ = 0;
  rendered_modifiers_ = {};
  generator_.reset();
  omit_shared_texts_ = false;
}

Status DiceCalculator::ensure_generator() {
  if (generator_) return {};
  // Built in place: the generator holds a 256-byte buffer not worth copying.
  std::array<std::uint8_t, 32> key;
  KAVELO_TRY(RequestRandom::fill_key(entropy_, key));
  generator_.emplace(key);
  return {};
}

Result<std::int64_t> DiceCalculator::roll_simple(const DiceTerm& dice) {
  reset_request();
  KAVELO_TRY(budget_.charge(Resource::ExecutedInstructions, 1));
  KAVELO_TRY(budget_.charge(Resource::WorkUnits, 1));
  auto groups = roll_dice_with_budget(dice);
  if (!groups) return std::unexpected(std::move(groups.error()));
  auto total = checked_sum(groups->values(), "simple roll aggregation");
  if (!total) return total;
  KAVELO_TRY(budget_.charge(Resource::OutputItems, 1));
  KAVELO_TRY(budget_.charge(Resource::OutputBytes, decimal_length(*total)));
  return total;
}

}  // namespace kavelo
