// One die's groups, the pool chain, the two pool paths, and whole texts.
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
using Groups = std::map<std::vector<std::int64_t>, double>;

Groups groups_of(const GroupTable& t) {
  Groups g;
  for (std::size_t i = 0; i < t.size(); ++i) {
    const auto s = t.group(i);
    g[std::vector<std::int64_t>(s.begin(), s.end())] += t.probs[i];
  }
  return g;
}

struct GroupCase {
  const char* name;
  std::uint32_t sides;
  std::vector<DiceModifier> modifiers;
  Groups want;
};

class DieGroupsTest : public ::testing::TestWithParam<GroupCase> {};

TEST_P(DieGroupsTest, ExactGroups) {
  const GroupCase& c = GetParam();
  Meter meter{OddsLimits{}};
  auto t = die_groups(c.sides, c.modifiers, 1e-15, "term", meter);
  ASSERT_TRUE(t) << t.error().text;
  const Groups got = groups_of(*t);
  ASSERT_EQ(got.size(), c.want.size());
  for (const auto& [g, p] : c.want) {
    ASSERT_TRUE(got.contains(g));
    EXPECT_NEAR(got.at(g), p, 1e-15);
  }
  EXPECT_EQ(t->truncated, 0.0);
}

constexpr double q = 1.0 / 3;

INSTANTIATE_TEST_SUITE_P(
    Rerolls, DieGroupsTest,
    ::testing::Values(
        GroupCase{"plain", 3, {}, {{{1}, q}, {{2}, q}, {{3}, q}}},
        // Reroll once: 1 becomes a new face, which stays even when it is 1.
        GroupCase{
            "reroll", 3, {{K::Reroll, 1}}, {{{1}, q * q}, {{2}, q + q * q}, {{3}, q + q * q}}},
        // Reroll until above 1: the faces above it, evenly.
        GroupCase{"reroll_until", 3, {{K::RerollUntil, 1}}, {{{2}, .5}, {{3}, .5}}},
        GroupCase{"reroll_until_below_one_never_matches",
                  3,
                  {{K::RerollUntil, 0}},
                  {{{1}, q}, {{2}, q}, {{3}, q}}},
        // Reroll and add: 1 becomes 1 plus a new face.
        GroupCase{"reroll_add",
                  3,
                  {{K::RerollAdd, 1}},
                  {{{2}, q + q * q}, {{3}, q + q * q}, {{4}, q * q}}},
        GroupCase{
            "reroll_then_reroll", 2, {{K::Reroll, 1}, {K::Reroll, 1}}, {{{1}, .125}, {{2}, .875}}},
        GroupCase{"pool_kinds_ignored",
                  3,
                  {{K::KeepHigh, 1}, {K::Unique, 0}, {K::Count, 2}},
                  {{{1}, q}, {{2}, q}, {{3}, q}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DieGroups, ExplosionsAreRunsOfTheSidesAndOneLastFace) {
  Meter meter{OddsLimits{}};
  auto t = die_groups(3, std::vector<DiceModifier>{{K::Explode, 0}, {K::ExplodeAlias, 0}}, 1e-6,
                      "3d3!e", meter);
  ASSERT_TRUE(t);
  const Groups g = groups_of(*t);
  EXPECT_NEAR(g.at({1}), q, 1e-15);
  EXPECT_NEAR(g.at({3, 3, 2}), q * q * q, 1e-15);
  // Cut at the first run whose chance is within the tolerance: 3^-13 < 1e-6.
  EXPECT_NEAR(t->truncated, std::pow(q, 13), 1e-20);
  EXPECT_FALSE(g.contains(std::vector<std::int64_t>(14, 3)));
}

TEST(DieGroups, RerollOnceReplacesTheFirstMatchOfAnExplodedGroup) {
  Meter meter{OddsLimits{}};
  auto t = die_groups(2, std::vector<DiceModifier>{{K::Explode, 0}, {K::RerollOnce, 2}}, 1e-3,
                      "1d2!ro2", meter);
  ASSERT_TRUE(t);
  const Groups g = groups_of(*t);
  // [2, 1] becomes [x, 1]: [1, 1] or [2, 1], each 1/4 * 1/2.
  EXPECT_NEAR(g.at({1, 1}), .125, 1e-15);
  // [1] alone becomes [x].
  EXPECT_NEAR(g.at({1}), .25, 1e-15);
}

TEST(DieGroups, EndlessTermsAreRefused) {
  Meter meter{OddsLimits{}};
  auto explode = die_groups(1, std::vector<DiceModifier>{{K::Explode, 0}}, 1e-15, "2d1!", meter);
  ASSERT_FALSE(explode);
  EXPECT_EQ(explode.error().text,
            "[odds.endless] 2d1! never ends: a one-sided die explodes on every face");
  auto until = die_groups(4, std::vector<DiceModifier>{{K::RerollUntil, 4}}, 1e-15, "1d4R4", meter);
  ASSERT_FALSE(until);
  EXPECT_EQ(until.error().text,
            "[odds.endless] 1d4R4 can reroll without end: R4 matches every face of a d4");
  // Reroll-and-add can leave values that reroll-until at the sides still matches...
  EXPECT_FALSE(die_groups(4, std::vector<DiceModifier>{{K::RerollAdd, 4}, {K::RerollUntil, 4}},
                          1e-15, "x", meter));
  // ...or lift every value above it, so that it never matches (a2 gives 2 to 4, a3
  // then 3 to 5).
  auto never = die_groups(
      2, std::vector<DiceModifier>{{K::RerollAdd, 2}, {K::RerollAdd, 3}, {K::RerollUntil, 2}},
      1e-15, "1d2a2a3R2", meter);
  ASSERT_TRUE(never) << never.error().text;
  EXPECT_EQ(groups_of(*never).begin()->first, std::vector<std::int64_t>{3});
}

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

struct TextCase {
  const char* text;
  std::map<std::int64_t, double> want;
};

class TextTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(TextTest, Distribution) {
  const TextCase& c = GetParam();
  auto r = compute_odds(c.text, OddsLimits{});
  ASSERT_TRUE(r) << r.error().text;
  ASSERT_EQ(r->outcomes.size(), c.want.size()) << c.text;
  for (std::size_t i = 0; i < r->outcomes.size(); ++i) {
    ASSERT_TRUE(c.want.contains(r->outcomes[i])) << c.text << " " << r->outcomes[i];
    EXPECT_NEAR(r->probabilities[i], c.want.at(r->outcomes[i]), 1e-15)
        << c.text << " " << r->outcomes[i];
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, TextTest,
    ::testing::Values(TextCase{"2d2", {{2, .25}, {3, .5}, {4, .25}}},
                      TextCase{"2d2kh1", {{1, .25}, {2, .75}}},
                      TextCase{"2d2kl1", {{1, .75}, {2, .25}}},
                      TextCase{"3d2u", {{1, .125}, {2, .125}, {3, .75}}},
                      TextCase{"3d2c2", {{0, .125}, {1, .375}, {2, .375}, {3, .125}}},
                      TextCase{"3d2c2c1", {{0, .625}, {1, .375}}}, TextCase{"3d2kh0c0", {{0, 1.0}}},
                      TextCase{"3d2kh0c0c0", {{1, 1.0}}},
                      TextCase{"1+2*3 # left to right", {{9, 1.0}}},
                      TextCase{"(1d2-1)*4", {{0, .5}, {4, .5}}}));

TEST(ComputeOdds, RefusesProgramsAndPassesParseErrors) {
  auto program = compute_odds("1d6;2d6;3", OddsLimits{});
  ASSERT_FALSE(program);
  EXPECT_EQ(
      program.error().text,
      "[odds.program] odds() takes one expression, not a program of 3 instructions; ask for each "
      "instruction on its own");
  auto syntax = compute_odds("2d", OddsLimits{});
  ASSERT_FALSE(syntax);
  EXPECT_EQ(syntax.error().text.rfind("解析错误: ", 0), 0u);
}

TEST(ComputeOdds, LongChainsAreWalkedWithoutRecursion) {
  std::string text = "1d2";
  for (int i = 0; i < 1000; ++i) text += "-1d2+1d2";
  OddsLimits limits;
  limits.max_work = 4'000'000'000ull;
  auto r = compute_odds(text, limits);
  ASSERT_TRUE(r) << r.error().text;
  EXPECT_EQ(r->outcomes.front(), 1 - 1000);
  EXPECT_EQ(r->outcomes.back(), 2 + 1000);
}

}  // namespace
}  // namespace kavelo::odds
