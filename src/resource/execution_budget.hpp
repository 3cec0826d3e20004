// Usage counters of one request, charged against a copy of the policy in force.
#pragma once

#include <array>
#include <cstdint>

#include "errors/dice_error.hpp"
#include "resource/resource_policy.hpp"

namespace kavelo {

// Addition that sticks at the largest value instead of wrapping; amounts built from
// several parts use it so that an unrepresentable amount fails its charge.
constexpr std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
  std::uint64_t sum = a + b;
  return sum < a ? UINT64_MAX : sum;
}

class ExecutionBudget {
 public:
  explicit ExecutionBudget(const ResourcePolicy& policy) noexcept : limits_(policy), used_{} {}

  // Cumulative use. A refused charge leaves the counter as it was.
  [[nodiscard]] Status charge(Resource r, std::uint64_t amount) {
    if (try_charge(r, amount)) return {};
    return std::unexpected(exceeded(r, amount));
  }

  // The allocation-free test behind charge: true and counted, or false and untouched.
  [[nodiscard]] bool try_charge(Resource r, std::uint64_t amount) noexcept {
    std::uint64_t& counter = used_[index_of(r)];
    std::uint64_t sum = counter + amount;
    if (sum < counter || sum > limits_.limit(r)) return false;
    counter = sum;
    return true;
  }

  // The error of a refused charge of `amount` against the current counter.
  [[nodiscard]] DiceError exceeded(Resource r, std::uint64_t amount) const;

  // One-off size check against the limit; never touches the counters.
  [[nodiscard]] Status ensure(Resource r, std::uint64_t amount) const {
    if (amount <= limits_.limit(r)) return {};
    return std::unexpected(DiceError::budget_exceeded(name_of(r), 0, amount, limits_.limit(r)));
  }

  [[nodiscard]] std::uint64_t used(Resource r) const noexcept { return used_[index_of(r)]; }
  [[nodiscard]] std::uint64_t limit(Resource r) const noexcept { return limits_.limit(r); }
  [[nodiscard]] const ResourcePolicy& limits() const noexcept { return limits_; }

 private:
  ResourcePolicy limits_;
  std::array<std::uint64_t, kResourceCount> used_;
};

}  // namespace kavelo
