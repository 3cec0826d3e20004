// Distributions of totals: the arithmetic between them, its failures, and sums of copies.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <map>
#include <vector>

#include "odds/distribution.hpp"

namespace kavelo::odds {
namespace {

using Table = std::map<std::int64_t, double>;

Dist make(const Table& table, Meter& meter) {
  std::vector<std::pair<std::int64_t, double>> pairs(table.begin(), table.end());
  return *Dist::from_pairs(pairs, meter, "test");
}

Table table_of(const Dist& d) {
  Table t;
  for (std::size_t i = 0; i < d.size(); ++i) t[d.values()[i]] += d.probs()[i];
  return t;
}

void expect_near(const Table& got, const Table& want) {
  for (const auto& [v, p] : want) {
    ASSERT_TRUE(got.contains(v) || p == 0.0) << v;
    EXPECT_NEAR(got.contains(v) ? got.at(v) : 0.0, p, 1e-15) << v;
  }
  for (const auto& [v, p] : got) EXPECT_TRUE(want.contains(v) || p == 0.0) << v;
}

struct OpCase {
  const char* name;
  ExprKind kind;
  Table left, right, want;
  std::array<double, kFailureKinds> failures;
};

class CombineTest : public ::testing::TestWithParam<OpCase> {};

TEST_P(CombineTest, EveryPairThroughCheckedArithmetic) {
  const OpCase& c = GetParam();
  Meter meter{OddsLimits{}};
  auto d = combine(c.kind, make(c.left, meter), make(c.right, meter), meter);
  ASSERT_TRUE(d.has_value()) << d.error().text;
  expect_near(table_of(*d), c.want);
  for (int k = 0; k < kFailureKinds; ++k) EXPECT_NEAR(d->failures[k], c.failures[k], 1e-15) << k;
}

constexpr std::int64_t kMin = INT64_MIN;
constexpr std::int64_t kMax = INT64_MAX;

INSTANTIATE_TEST_SUITE_P(
    Ops, CombineTest,
    ::testing::Values(
        // Dense convolution, and the mirror image for a difference.
        OpCase{"add",
               ExprKind::Add,
               {{1, .5}, {2, .5}},
               {{10, .25}, {11, .75}},
               {{11, .125}, {12, .5}, {13, .375}},
               {}},
        OpCase{"subtract",
               ExprKind::Subtract,
               {{1, .5}, {2, .5}},
               {{10, .25}, {11, .75}},
               {{-10, .375}, {-9, .5}, {-8, .125}},
               {}},
        // Sparse operands go pair by pair.
        OpCase{"sparse_add",
               ExprKind::Add,
               {{0, .5}, {1000000, .5}},
               {{0, .5}, {7, .5}},
               {{0, .25}, {7, .25}, {1000000, .25}, {1000007, .25}},
               {}},
        OpCase{"multiply",
               ExprKind::Multiply,
               {{-2, .5}, {3, .5}},
               {{-2, .5}, {3, .5}},
               {{4, .25}, {-6, .5}, {9, .25}},
               {}},
        OpCase{"divide_truncates_and_fails_on_zero",
               ExprKind::Divide,
               {{-7, .5}, {7, .5}},
               {{0, .25}, {2, .75}},
               {{-3, .375}, {3, .375}},
               {0, .25, 0, 0}},
        OpCase{"power_with_invalid_exponents",
               ExprKind::Power,
               {{2, 1.0}},
               {{-1, .25}, {0, .25}, {62, .25}, {63, .25}},
               {{1, .25}, {INT64_C(1) << 62, .25}},
               {.25, 0, .25, 0}},
        // Extreme sums leave the dense path and fail exactly where they overflow.
        OpCase{"add_overflow",
               ExprKind::Add,
               {{kMax - 1, .5}, {kMax, .5}},
               {{0, .5}, {1, .5}},
               {{kMax - 1, .25}, {kMax, .5}},
               {.25, 0, 0, 0}},
        OpCase{"subtract_overflow",
               ExprKind::Subtract,
               {{kMin, 1.0}},
               {{-1, .5}, {1, .5}},
               {{kMin + 1, .5}},
               {.5, 0, 0, 0}},
        OpCase{"division_overflow",
               ExprKind::Divide,
               {{kMin, 1.0}},
               {{-1, .5}, {1, .5}},
               {{kMin, .5}},
               {.5, 0, 0, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Combine, FailuresOfTheLeftStopTheRightAndTheRightsScaleByTheLeftsMass) {
  Meter meter{OddsLimits{}};
  Dist left = make({{1, .5}}, meter);
  left.failures[static_cast<int>(Failure::DivideByZero)] = .25;
  left.truncated = .25;
  Dist right = make({{1, .5}}, meter);
  right.failures[static_cast<int>(Failure::Overflow)] = .5;
  auto d = combine(ExprKind::Add, left, right, meter);
  ASSERT_TRUE(d);
  expect_near(table_of(*d), {{2, .25}});
  EXPECT_DOUBLE_EQ(d->failures[static_cast<int>(Failure::DivideByZero)], .25);
  EXPECT_DOUBLE_EQ(d->failures[static_cast<int>(Failure::Overflow)], .25);
  EXPECT_DOUBLE_EQ(d->truncated, .25);
}

TEST(Combine, DenseSumsOfContiguousSupportsKeepUnderflowedOutcomes) {
  // 1000 copies of a d6: the extreme totals are possible though their probability is
  // below the smallest double.
  Meter meter{OddsLimits{}};
  Dist die =
      make({{1, 1 / 6.}, {2, 1 / 6.}, {3, 1 / 6.}, {4, 1 / 6.}, {5, 1 / 6.}, {6, 1 / 6.}}, meter);
  auto d = sum_of_copies(die, 1000, meter, 0.0);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->min(), 1000);
  EXPECT_EQ(d->max(), 6000);
  EXPECT_EQ(d->size(), 5001u);
  EXPECT_EQ(d->probs().front(), 0.0);
  EXPECT_NEAR(d->mass(), 1.0, 1e-12);
}

TEST(SumOfCopies, EqualsRepeatedAddition) {
  Meter meter{OddsLimits{}};
  const Table irregular{{0, .1}, {3, .2}, {4, .3}, {9, .4}};
  Dist one = make(irregular, meter);
  Dist step = make(irregular, meter);
  for (std::uint64_t n = 2; n <= 9; ++n) {
    auto added = combine(ExprKind::Add, step, one, meter);
    ASSERT_TRUE(added);
    step = std::move(*added);
    auto squared = sum_of_copies(one, n, meter, 0.0);
    ASSERT_TRUE(squared);
    const Table a = table_of(step);
    const Table b = table_of(*squared);
    ASSERT_EQ(a.size(), b.size()) << n;
    for (const auto& [v, p] : a) EXPECT_NEAR(b.at(v), p, 1e-15) << n << " " << v;
  }
}

TEST(SumOfCopies, TrimsOnlyWithinItsBudget) {
  Meter meter{OddsLimits{}};
  Table tail;
  for (int k = 0; k < 40; ++k) tail[k] = std::ldexp(1.0, -(k + 1));
  Dist one = make(tail, meter);
  one.truncated = std::ldexp(1.0, -40);  // the mass the 40 outcomes leave
  auto d = sum_of_copies(one, 8, meter, 1e-9);
  ASSERT_TRUE(d);
  // Eight dice that each stop short with 2^-40, plus what the trims moved.
  EXPECT_GT(d->truncated, 8 * std::ldexp(1.0, -40) * (1 - 1e-9));
  EXPECT_LE(d->truncated, 8 * std::ldexp(1.0, -40) + 1e-9);
  EXPECT_NEAR(d->mass() + d->truncated, 1.0, 1e-15);
}

TEST(Meter, LimitsAndTheirTexts) {
  OddsLimits limits;
  limits.max_work = 10;
  limits.max_outcomes = 3;
  Meter meter(limits);
  EXPECT_TRUE(meter.work(10));
  auto work = meter.work(1);
  ASSERT_FALSE(work);
  EXPECT_EQ(work.error().text,
            "[odds.too_complex] the odds need more than 10 steps of work (max_work)");
  auto outcomes = meter.outcomes(4, "a sum");
  ASSERT_FALSE(outcomes);
  EXPECT_EQ(outcomes.error().text,
            "[odds.too_complex] a sum has 4 outcomes, more than 3 (max_outcomes)");
  {
    CellHold hold;
    EXPECT_TRUE(hold.set(meter, 36));
    EXPECT_EQ(meter.cells_held(), 36u);
    auto more = CellHold{}.set(meter, 1);
    ASSERT_FALSE(more);
    EXPECT_EQ(more.error().text,
              "[odds.too_complex] the odds need more than 36 probabilities stored at once (12 "
              "times max_outcomes)");
    EXPECT_TRUE(hold.set(meter, 6));
    EXPECT_EQ(meter.cells_held(), 6u);
  }
  EXPECT_EQ(meter.cells_held(), 0u);
  EXPECT_EQ(meter.cells_peak(), 36u);
}

}  // namespace
}  // namespace kavelo::odds
