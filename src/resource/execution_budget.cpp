#include "resource/execution_budget.hpp"

namespace kavelo {

DiceError ExecutionBudget::exceeded(Resource r, std::uint64_t amount) const {
  std::uint64_t used = used_[index_of(r)];
  std::uint64_t limit = limits_.limit(r);
  if (r == Resource::GeneratedValues) {
    return DiceError::generated_values_exceeded(used, amount, limit);
  }
  return DiceError::budget_exceeded(name_of(r), used, amount, limit);
}

}  // namespace kavelo
