// The pool chain, and the pool strategies against each other.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <vector>

#include "odds/die_groups.hpp"
#include "odds/odds.hpp"
#include "odds/pool_odds.hpp"

namespace kavelo::odds {
namespace {

using K = ModifierKind;

TEST(PoolChain, KeepAliasFirstSortLeftOut) {
  const std::vector<DiceModifier> mods{{K::KeepHigh, 3},       {K::Sort, 0},     {K::Explode, 0},
                                       {K::KeepAlias, 1},      {K::DropLow, -1}, {K::Count, 6},
                                       {K::ExplodeKeepHigh, 2}};
  const auto steps = pool_chain(mods);
  ASSERT_EQ(steps.size(), 5u);
  EXPECT_EQ(steps[0].kind, PoolKind::KeepHigh);
  EXPECT_EQ(steps[0].n, 1u);
  EXPECT_EQ(steps[1].n, 3u);
  EXPECT_EQ(steps[2].kind, PoolKind::DropLow);
  EXPECT_EQ(steps[2].n, UINT64_MAX);
  EXPECT_EQ(steps[3].kind, PoolKind::Count);
  EXPECT_EQ(steps[3].target, 6);
  EXPECT_EQ(steps[4].kind, PoolKind::KeepHigh);
}

TEST(PoolChain, ApplyStepsAsTheRoller) {
  using S = PoolStep;
  EXPECT_EQ(apply_steps({5, 1, 5, 3}, std::vector<S>{{PoolKind::Unique, 0, 0}}), 9);
  EXPECT_EQ(apply_steps({5, 1, 5, 3},
                        std::vector<S>{{PoolKind::KeepHigh, 2, 0}, {PoolKind::KeepLow, 1, 0}}),
            5);
  EXPECT_EQ(apply_steps({5, 1, 5, 3}, std::vector<S>{{PoolKind::DropLow, UINT64_MAX, 0},
                                                     {PoolKind::Count, 0, 0}}),
            0);
  EXPECT_EQ(apply_steps({5, 1}, std::vector<S>{{PoolKind::KeepHigh, 0, 0},
                                               {PoolKind::Count, 0, 0},
                                               {PoolKind::Count, 0, 0}}),
            1);
  EXPECT_EQ(apply_steps({}, std::vector<S>{{PoolKind::Count, 0, 3}}), 0);
}

// The rank window (one value per die) against the general programme: groups [v, 0]
// hold the same values above zero, so keeping the highest ones gives the same totals.
TEST(PoolOdds, RankWindowAgreesWithTheGeneralProgramme) {
  for (const std::uint64_t keep : {1u, 2u, 3u}) {
    Meter meter{OddsLimits{}};
    GroupTable single;
    GroupTable padded;
    for (std::int64_t v = 1; v <= 6; ++v) {
      const std::int64_t one[1] = {v};
      const std::int64_t two[2] = {v, 0};
      single.push(one, 1 / 6.);
      padded.push(two, 1 / 6.);
    }
    const std::vector<PoolStep> steps{{PoolKind::KeepHigh, keep, 0}};
    auto a = pool_odds(single, 4, steps, 0.0, meter);
    auto b = pool_odds(padded, 4, steps, 0.0, meter);
    ASSERT_TRUE(a && b);
    ASSERT_EQ(a->size(), b->size());
    for (std::size_t i = 0; i < a->size(); ++i) {
      EXPECT_EQ(a->values()[i], b->values()[i]);
      EXPECT_NEAR(a->probs()[i], b->probs()[i], 1e-15);
    }
  }
}

}  // namespace
}  // namespace kavelo::odds
