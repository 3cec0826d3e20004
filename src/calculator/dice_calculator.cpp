#include "calculator/dice_calculator.hpp"

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

}  // namespace kavelo
