// One die's groups: its faces, explosions and rerolls as groups of values.
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

}  // namespace
}  // namespace kavelo::odds
