// Checked signed 64-bit sums of roll values. An overflow fails with ArithmeticOverflow
// naming the operation that summed ("simple roll aggregation", ...).
#pragma once

#include <cstdint>
#include <span>

#include "errors/dice_error.hpp"

namespace kavelo {

[[nodiscard]] inline Result<std::int64_t> checked_add(std::int64_t a, std::int64_t b,
                                                      const char* operation) {
  std::int64_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) {
    return std::unexpected(DiceError::arithmetic_overflow(operation));
  }
  return sum;
}

// Sum from left to right; fails at the first partial sum that leaves the 64-bit range.
[[nodiscard]] inline Result<std::int64_t> checked_sum(std::span<const std::int64_t> values,
                                                      const char* operation) {
  std::int64_t total = 0;
  for (std::int64_t value : values) {
    if (__builtin_add_overflow(total, value, &total)) {
      return std::unexpected(DiceError::arithmetic_overflow(operation));
    }
  }
  return total;
}

}  // namespace kavelo
