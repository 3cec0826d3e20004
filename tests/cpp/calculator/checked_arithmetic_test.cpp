#include "calculator/checked_arithmetic.hpp"
// Both arithmetic headers in one unit: they must share a single checked_add.
#include "calculator/checked_sum.hpp"

#include <gtest/gtest.h>

#include <random>

namespace kavelo {
namespace {

TEST(CheckedArithmeticTest, DivisionTruncatesTowardZeroAndChecksZeroFirst) {
  EXPECT_EQ(checked_divide(10, 3), 3);
  EXPECT_EQ(checked_divide(-10, 3), -3);
  EXPECT_EQ(checked_divide(7, -2), -3);
  EXPECT_EQ(checked_divide(-7, -2), 3);
  EXPECT_EQ(checked_divide(INT64_MIN, 1), INT64_MIN);
  EXPECT_EQ(checked_divide(INT64_MIN, 0).error(), DiceError::division_by_zero());
  EXPECT_EQ(checked_divide(INT64_MIN, -1).error(), DiceError::arithmetic_overflow("division"));
}

TEST(CheckedArithmeticTest, AddSubtractMultiplyNameTheirOperation) {
  EXPECT_EQ(checked_add(INT64_MAX, 1, "addition").error(),
            DiceError::arithmetic_overflow("addition"));
  EXPECT_EQ(checked_add(INT64_MAX, -1, "addition"), INT64_MAX - 1);
  EXPECT_EQ(checked_subtract(INT64_MIN, 1).error(), DiceError::arithmetic_overflow("subtraction"));
  EXPECT_EQ(checked_subtract(-1, INT64_MIN), INT64_MAX);
  EXPECT_EQ(checked_multiply(INT64_MIN, -1, "multiplication").error(),
            DiceError::arithmetic_overflow("multiplication"));
  EXPECT_EQ(checked_multiply(INT64_MIN, 1, "multiplication"), INT64_MIN);
}

struct PowerCase {
  std::int64_t base;
  std::int64_t exponent;
  std::optional<std::int64_t> result;  // nullopt: overflow
};

class PowerTest : public ::testing::TestWithParam<PowerCase> {};

TEST_P(PowerTest, MatchesTheTruePower) {
  auto r = checked_power(GetParam().base, GetParam().exponent);
  if (GetParam().result) {
    ASSERT_TRUE(r) << r.error().display();
    EXPECT_EQ(*r, *GetParam().result);
  } else {
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), DiceError::arithmetic_overflow("exponentiation"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Edges, PowerTest,
    ::testing::Values(
        PowerCase{2, 62, INT64_C(1) << 62}, PowerCase{2, 63, std::nullopt},
        PowerCase{-2, 63, INT64_MIN}, PowerCase{-2, 64, std::nullopt}, PowerCase{0, 0, 1},
        PowerCase{5, 0, 1}, PowerCase{INT64_MIN, 0, 1}, PowerCase{INT64_MIN, 1, INT64_MIN},
        PowerCase{INT64_MIN, 2, std::nullopt}, PowerCase{1, 4294967295, 1},
        PowerCase{-1, 4294967295, -1}, PowerCase{-1, 4294967294, 1}, PowerCase{0, 4294967295, 0},
        PowerCase{3, 39, 4052555153018976267}, PowerCase{3, 40, std::nullopt},
        PowerCase{-3, 39, -4052555153018976267}, PowerCase{3037000499, 2, 9223372030926249001},
        PowerCase{3037000500, 2, std::nullopt}, PowerCase{2, 3, 8},
        // The bases answered without the loop, at small and odd exponents.
        PowerCase{0, 1, 0}, PowerCase{1, 1, 1}, PowerCase{-1, 0, 1}, PowerCase{-1, 1, -1},
        PowerCase{-1, 2, 1}, PowerCase{1, 2147483648, 1}, PowerCase{-1, 2147483647, -1}));

TEST(CheckedArithmeticTest, PowerRefusesExponentsOutsideUnsigned32Bits) {
  EXPECT_EQ(checked_power(2, -1).error(), DiceError::invalid_exponent(-1));
  EXPECT_EQ(checked_power(1, 4294967296).error(), DiceError::invalid_exponent(4294967296));
  EXPECT_EQ(checked_power(0, INT64_MIN).error(), DiceError::invalid_exponent(INT64_MIN));
}

// Against exact 128-bit repeated multiplication, stopping once the magnitude is out of range.
TEST(CheckedArithmeticTest, PowerFailsExactlyWhenTheTruePowerLeavesTheRange) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 20000; ++i) {
    std::int64_t base = static_cast<std::int64_t>(rng() % 4001) - 2000;
    if (i % 5 == 0) base = static_cast<std::int64_t>(rng() % 200001) - 100000;
    std::int64_t exponent = static_cast<std::int64_t>(rng() % 70);
    __int128 exact = 1;
    bool out_of_range = false;
    for (std::int64_t k = 0; k < exponent && !out_of_range; ++k) {
      exact *= base;
      if (exact > INT64_MAX || exact < INT64_MIN) out_of_range = true;
    }
    auto r = checked_power(base, exponent);
    if (out_of_range) {
      EXPECT_FALSE(r) << base << "^" << exponent;
    } else {
      ASSERT_TRUE(r) << base << "^" << exponent;
      EXPECT_EQ(*r, static_cast<std::int64_t>(exact)) << base << "^" << exponent;
    }
  }
}

}  // namespace
}  // namespace kavelo
