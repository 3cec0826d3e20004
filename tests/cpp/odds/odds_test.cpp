// Whole texts: distributions, refusals, long chains.
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
                      TextCase{"(1d2-1)*4", {{0, .5}, {4, .5}}},
                      // An empty pool of 2^31 - 1 exploding dice: certain, though each die's
                      // probabilities add up to 1 only to their rounding.
                      TextCase{"2147483647d6!ekl2dh1dl1", {{0, 1.0}}},
                      TextCase{"6-2147483647d6!eK5r1ro2R1a1k5kh5kl2dh1dl1usc3", {{6, 1.0}}}));

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
