// Signed 64-bit arithmetic that reports overflow as a coded error naming the operation.
#pragma once

#include <cstdint>

#include "calculator/checked_sum.hpp"
#include "errors/dice_error.hpp"

namespace kavelo {

// checked_add(a, b, operation) comes from checked_sum.hpp: one definition for the
// whole program, shared with the roller's sums.

[[nodiscard]] inline Result<std::int64_t> checked_subtract(std::int64_t a, std::int64_t b) {
  std::int64_t out;
  if (__builtin_sub_overflow(a, b, &out)) {
    return std::unexpected(DiceError::arithmetic_overflow("subtraction"));
  }
  return out;
}

[[nodiscard]] inline Result<std::int64_t> checked_multiply(std::int64_t a, std::int64_t b,
                                                           const char* operation) {
  std::int64_t out;
  if (__builtin_mul_overflow(a, b, &out)) {
    return std::unexpected(DiceError::arithmetic_overflow(operation));
  }
  return out;
}

// Quotient truncated toward zero; a zero divisor is checked before the one overflowing pair.
[[nodiscard]] inline Result<std::int64_t> checked_divide(std::int64_t a, std::int64_t b) {
  if (b == 0) return std::unexpected(DiceError::division_by_zero());
  if (a == INT64_MIN && b == -1) {
    return std::unexpected(DiceError::arithmetic_overflow("division"));
  }
  return a / b;
}

// a to the power b for 0 <= b <= 2^32-1, by square-and-multiply. A square is taken
// only while a further bit of the exponent remains, so this fails exactly when the
// true power lies outside the signed 64-bit range.
//
// The bases -1, 0 and 1 are answered directly: every other base overflows within six
// squarings, so the loop runs at most seven rounds whatever the exponent, and a power
// costs about as much as any other operation.
[[nodiscard]] inline Result<std::int64_t> checked_power(std::int64_t a, std::int64_t b) {
  if (b < 0 || b > 4294967295LL) return std::unexpected(DiceError::invalid_exponent(b));
  auto e = static_cast<std::uint32_t>(b);
  if (e == 0) return 1;
  if (a == 0 || a == 1) return a;
  if (a == -1) return (e & 1u) != 0 ? -1 : 1;
  std::int64_t acc = 1;
  std::int64_t base = a;
  for (;;) {
    if (e & 1u) {
      if (__builtin_mul_overflow(acc, base, &acc)) {
        return std::unexpected(DiceError::arithmetic_overflow("exponentiation"));
      }
      if (e == 1) return acc;
    }
    e >>= 1;
    if (__builtin_mul_overflow(base, base, &base)) {
      return std::unexpected(DiceError::arithmetic_overflow("exponentiation"));
    }
  }
}

}  // namespace kavelo
