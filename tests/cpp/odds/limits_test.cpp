// The limits of one odds computation as any C++ caller may pass them: refused when they
// cannot bound the work, and the loops that follow explosions bounded even when a caller
// skips the check.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "odds/die_groups.hpp"
#include "odds/odds.hpp"

namespace kavelo::odds {
namespace {

struct BadLimits {
  double tolerance;
  std::uint64_t max_outcomes;
  std::uint64_t max_work;
  const char* text;
};

class RefusedLimits : public ::testing::TestWithParam<BadLimits> {};

TEST_P(RefusedLimits, BeforeTheTextIsRead) {
  const BadLimits& c = GetParam();
  // The text would explode for ever under a tolerance that never ends the runs.
  for (const char* text : {"1d6!", "not a text ("}) {
    auto r = compute_odds(text, OddsLimits{c.tolerance, c.max_outcomes, c.max_work});
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().text, c.text);
  }
}

constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Odds, RefusedLimits,
    ::testing::Values(
        BadLimits{-1.0, 10, 1000,
                  "[odds.invalid_argument] tolerance must lie strictly between 0 and 1: got -1.0"},
        BadLimits{-kInf, 10, 1000,
                  "[odds.invalid_argument] tolerance must lie strictly between 0 and 1: got -inf"},
        BadLimits{kInf, 10, 1000,
                  "[odds.invalid_argument] tolerance must lie strictly between 0 and 1: got inf"},
        BadLimits{std::nan(""), 10, 1000,
                  "[odds.invalid_argument] tolerance must lie strictly between 0 and 1: got nan"},
        BadLimits{0.0, 10, 1000,
                  "[odds.invalid_argument] tolerance must lie strictly between 0 and 1: got 0.0"},
        BadLimits{1.0, 10, 1000,
                  "[odds.invalid_argument] tolerance must lie strictly between 0 and 1: got 1.0"},
        BadLimits{1e300, 10, 1000,
                  "[odds.invalid_argument] tolerance must lie strictly between 0 and 1: got "
                  "1e+300"},
        BadLimits{-2.5e-7, 10, 1000,
                  "[odds.invalid_argument] tolerance must lie strictly between 0 and 1: got "
                  "-2.5e-07"},
        BadLimits{0.5, 0, 1000,
                  "[odds.invalid_argument] max_outcomes must lie between 1 and "
                  "18446744073709551615: got 0"},
        BadLimits{0.5, 10, 0,
                  "[odds.invalid_argument] max_work must lie between 1 and "
                  "18446744073709551615: got 0"}));

TEST(Limits, TheSmallestOfEachPasses) {
  auto r = compute_odds("1d2!", OddsLimits{std::numeric_limits<double>::denorm_min(), 1u << 20,
                                           std::numeric_limits<std::uint64_t>::max()});
  ASSERT_TRUE(r) << r.error().text;
  EXPECT_EQ(r->truncated, 0.0);  // followed until the chance of going on underflows
  auto one = compute_odds("1d1", OddsLimits{0.5, 1, 1000});
  ASSERT_TRUE(one) << one.error().text;
  EXPECT_EQ(one->outcomes, std::vector<std::int64_t>{1});
}

TEST(Limits, ExplosionsEndAndAreChargedWhateverTheTolerance) {
  const DiceModifier explode{ModifierKind::Explode, 0};
  for (double tolerance : {-1.0, -kInf, 0.0, std::nan("")}) {
    // A d2's chance of going on halves per face, and reaches 0 after about 1075 faces.
    OddsLimits limits;
    Meter meter(limits);
    auto groups = die_groups(2, {&explode, 1}, tolerance, "1d2!", meter);
    ASSERT_TRUE(groups) << groups.error().text;
    EXPECT_LE(groups->size(), 1100u);
    EXPECT_GE(meter.work_used(), groups->size());
    // A meter that allows less stops the runs instead.
    limits.max_work = 100;
    Meter small(limits);
    if (!std::isnan(tolerance)) {
      auto stopped = die_groups(2, {&explode, 1}, tolerance, "1d2!", small);
      ASSERT_FALSE(stopped);
      EXPECT_EQ(stopped.error().text,
                "[odds.too_complex] the odds need more than 100 steps of work (max_work)");
    }
  }
}

}  // namespace
}  // namespace kavelo::odds
