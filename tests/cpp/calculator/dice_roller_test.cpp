// Rolling one dice term: both phases, every modifier kind, the charges and the limits.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <string>
#include <tuple>
#include <vector>

#include "support/roll_fixture.hpp"

namespace kavelo {
namespace {

using testing::Groups;
using testing::mod;
using testing::policy_with;
using testing::roll;
using testing::ScriptedCalculator;
using K = ModifierKind;

struct RollCase {
  const char* name;
  std::int32_t count;
  std::int32_t sides;
  std::vector<DiceModifier> modifiers;
  std::vector<std::uint32_t> faces;  // every face the roll draws, in draw order
  Groups expected;
  std::uint64_t work_units;  // one per face plus the pool size at every modifier pass
};

class ModifierTest : public ::testing::TestWithParam<RollCase> {};

TEST_P(ModifierTest, RollsChargesAndGroups) {
  const RollCase& c = GetParam();
  ScriptedCalculator calculator(static_cast<std::uint32_t>(c.sides), c.faces);
  auto groups = calculator->roll_dice_with_budget({c.count, c.sides, c.modifiers});
  ASSERT_TRUE(groups.has_value()) << groups.error().display();
  EXPECT_EQ(testing::groups_of(*groups), c.expected);
  EXPECT_EQ(calculator.used(Resource::GeneratedValues), c.faces.size());
  EXPECT_EQ(calculator.used(Resource::RngWords), c.faces.size());
  EXPECT_EQ(calculator.used(Resource::WorkUnits), c.work_units);
  EXPECT_EQ(calculator.fills(), 1);
  // Comparisons never charge.
  EXPECT_EQ(calculator.used(Resource::SourceItems), 0u);
  EXPECT_EQ(calculator.used(Resource::CollectionItems), 0u);
}

const RollCase kSingleKinds[] = {
    {"explode", 3, 3, {mod(K::Explode)}, {3, 3, 1, 2, 3, 2}, {{3, 3, 1}, {2}, {3, 2}}, 6 + 6},
    {"explode_alias",
     3,
     3,
     {mod(K::ExplodeAlias)},
     {3, 3, 1, 2, 3, 2},
     {{3, 3, 1}, {2}, {3, 2}},
     6 + 6},
    {"explode_keep_high_keeps_without_exploding",
     3,
     3,
     {mod(K::ExplodeKeepHigh, 2)},
     {3, 1, 2},
     {{3}, {2}},
     3 + 3},
    {"reroll", 3, 3, {mod(K::Reroll, 1)}, {1, 3, 2, 3}, {{3}, {2}, {3}}, 4 + 3},
    {"reroll_happens_once", 1, 3, {mod(K::Reroll, 1)}, {1, 1}, {{1}}, 2 + 1},
    {"reroll_once", 2, 3, {mod(K::RerollOnce, 1)}, {1, 2, 3}, {{2}, {3}}, 3 + 2},
    {"reroll_once_without_match", 2, 3, {mod(K::RerollOnce, 1)}, {2, 3}, {{2}, {3}}, 2 + 2},
    {"reroll_until", 1, 3, {mod(K::RerollUntil, 1)}, {1, 1, 1, 2}, {{2}}, 4 + 1},
    {"reroll_until_checks_each_die",
     2,
     3,
     {mod(K::RerollUntil, 2)},
     {3, 2, 1, 3},
     {{3}, {3}},
     4 + 2},
    {"reroll_add", 2, 3, {mod(K::RerollAdd, 2)}, {2, 3, 3}, {{5}, {3}}, 3 + 2},
    {"keep_alias", 3, 3, {mod(K::KeepAlias, 2)}, {1, 3, 2}, {{3}, {2}}, 3 + 3},
    {"keep_high", 3, 3, {mod(K::KeepHigh, 2)}, {1, 3, 2}, {{3}, {2}}, 3 + 3},
    {"keep_low", 3, 3, {mod(K::KeepLow, 2)}, {3, 1, 2}, {{1}, {2}}, 3 + 3},
    {"drop_high", 3, 3, {mod(K::DropHigh, 1)}, {1, 3, 2}, {{2}, {1}}, 3 + 3},
    {"drop_low", 3, 3, {mod(K::DropLow, 1)}, {1, 3, 2}, {{2}, {3}}, 3 + 3},
    {"unique", 4, 3, {mod(K::Unique)}, {2, 1, 2, 3}, {{2}, {1}, {3}}, 4 + 4},
    {"sort", 3, 3, {mod(K::Sort)}, {3, 1, 2}, {{1}, {2}, {3}}, 3 + 3},
    {"count", 4, 3, {mod(K::Count, 3)}, {3, 1, 3, 2}, {{2}}, 4 + 4},
    {"count_without_match", 2, 3, {mod(K::Count, 3)}, {1, 2}, {{0}}, 2 + 2},
    {"keep_high_zero_leaves_no_group", 4, 3, {mod(K::KeepHigh, 0)}, {1, 2, 3, 1}, {}, 4 + 4},
    {"keep_high_all_sorted_descending",
     4,
     6,
     {mod(K::KeepHigh, 4)},
     {2, 6, 1, 4},
     {{6}, {4}, {2}, {1}},
     4 + 4},
};

const RollCase kInteractions[] = {
    // 6 explodes into 3; 1 is rerolled into 4 (a reroll face is not counted as a face
    // of the term, but is generated and charged).
    {"worked_example_per_die_phase",
     4,
     6,
     {mod(K::Explode), mod(K::Reroll, 1)},
     {6, 3, 1, 4, 2, 5},
     {{6, 3}, {4}, {2}, {5}},
     6 + 5 + 5},
    {"worked_example",
     4,
     6,
     {mod(K::Explode), mod(K::Reroll, 1), mod(K::KeepHigh, 3)},
     {6, 3, 1, 4, 2, 5},
     {{6}, {5}, {4}},
     6 + 5 + 5 + 5},
    {"second_explode_adds_nothing",
     3,
     3,
     {mod(K::Explode), mod(K::ExplodeAlias)},
     {3, 1, 2, 1},
     {{3, 1}, {2}, {1}},
     4 + 4 + 4},
    {"keep_alias_acts_first",
     3,
     3,
     {mod(K::KeepHigh, 3), mod(K::KeepAlias, 1)},
     {1, 3, 2},
     {{3}},
     3 + 3 + 1},
    {"keep_alias_passes_before_the_rest",
     3,
     3,
     {mod(K::Sort), mod(K::KeepAlias, 2), mod(K::DropLow, 1)},
     {1, 3, 2},
     {{3}},
     3 + 3 + 2 + 2},
    // A pass over the empty pool still costs one unit.
    {"count_after_keep_high_zero",
     2,
     3,
     {mod(K::KeepHigh, 0), mod(K::Count, 1)},
     {1, 2},
     {{0}},
     2 + 2 + 1},
    {"reroll_once_replaces_only_the_first_match",
     1,
     3,
     {mod(K::Explode), mod(K::RerollOnce, 3)},
     {3, 3, 1, 2},
     {{2, 3, 1}},
     4 + 3 + 3},
    {"exploded_twice_then_reroll_shrinks_the_group",
     1,
     3,
     {mod(K::Explode), mod(K::Reroll, 1)},
     {3, 3, 1, 2},
     {{2}},
     4 + 1 + 1},
    {"reroll_face_is_not_exploded",
     1,
     3,
     {mod(K::Reroll, 1), mod(K::Explode)},
     {1, 3},
     {{3}},
     2 + 1 + 1},
    {"reroll_add_sums_the_exploded_group",
     1,
     3,
     {mod(K::Explode), mod(K::RerollAdd, 1)},
     {3, 1, 2},
     {{6}},
     3 + 1 + 1},
    {"rerolls_run_in_list_order",
     1,
     3,
     {mod(K::RerollAdd, 1), mod(K::Reroll, 3)},
     {1, 2, 1},
     {{1}},
     3 + 1 + 1},
    {"unique_across_dice_after_explosion",
     3,
     3,
     {mod(K::Explode), mod(K::Unique)},
     {3, 1, 1, 3, 2},
     {{3}, {1}, {2}},
     5 + 5 + 5},
    {"per_die_kinds_after_a_pool_pass_only_charge",
     3,
     3,
     {mod(K::KeepHigh, 2), mod(K::Explode), mod(K::RerollAdd, 0)},
     {1, 3, 2, 2},
     {{3}, {2}},
     4 + 4 + 2 + 2},
};

const RollCase kNegativeCounts[] = {
    {"keep_high_negative_keeps_all", 3, 3, {mod(K::KeepHigh, -1)}, {1, 3, 2}, {{3}, {2}, {1}}, 6},
    {"keep_alias_negative_keeps_all", 3, 3, {mod(K::KeepAlias, -2)}, {1, 3, 2}, {{3}, {2}, {1}}, 6},
    {"explode_keep_high_negative_keeps_all",
     3,
     3,
     {mod(K::ExplodeKeepHigh, -1)},
     {1, 3, 2},
     {{3}, {2}, {1}},
     6},
    {"keep_low_negative_keeps_all",
     3,
     3,
     {mod(K::KeepLow, INT32_MIN)},
     {1, 3, 2},
     {{1}, {2}, {3}},
     6},
    {"drop_high_negative_drops_all", 3, 3, {mod(K::DropHigh, -1)}, {1, 3, 2}, {}, 6},
    {"drop_low_negative_drops_all", 3, 3, {mod(K::DropLow, INT32_MIN)}, {1, 3, 2}, {}, 6},
    {"count_negative_value", 3, 3, {mod(K::Count, -1)}, {1, 3, 2}, {{0}}, 6},
    {"reroll_negative_threshold_never_matches",
     2,
     3,
     {mod(K::Reroll, -1), mod(K::RerollUntil, -5)},
     {1, 1},
     {{1}, {1}},
     2 + 2 + 2},
};

std::string case_name(const ::testing::TestParamInfo<RollCase>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(SingleKinds, ModifierTest, ::testing::ValuesIn(kSingleKinds), case_name);
INSTANTIATE_TEST_SUITE_P(Interactions, ModifierTest, ::testing::ValuesIn(kInteractions), case_name);
INSTANTIATE_TEST_SUITE_P(NegativeCounts, ModifierTest, ::testing::ValuesIn(kNegativeCounts),
                         case_name);

TEST(DiceRoller, FacesStayWithinTheSidesAndUseEveryFace) {
  ScriptedCalculator calculator(ResourcePolicy::hard_maxima());
  for (std::int32_t sides : {1, 2, 6, 20, 100, INT32_MAX}) {
    auto groups = calculator->roll_dice_with_budget({2000, sides, {}});
    ASSERT_TRUE(groups.has_value());
    ASSERT_EQ(groups->group_count(), 2000u);
    std::int64_t low = INT64_MAX, high = INT64_MIN;
    for (std::int64_t v : groups->values()) {
      low = std::min(low, v);
      high = std::max(high, v);
    }
    EXPECT_GE(low, 1);
    EXPECT_LE(high, sides);
    if (sides <= 20) {
      EXPECT_EQ(low, 1) << "d" << sides;
      EXPECT_EQ(high, sides) << "d" << sides;
    }
  }
}

TEST(DiceRoller, LaterTermsContinueTheRequestStream) {
  ScriptedCalculator calculator(6, {5, 2, 6});
  auto first = calculator->roll_dice_with_budget({1, 6, {}});
  auto second = calculator->roll_dice_with_budget({2, 6, {}});
  ASSERT_TRUE(first && second);
  EXPECT_EQ(testing::groups_of(*first), (Groups{{5}}));
  EXPECT_EQ(testing::groups_of(*second), (Groups{{2}, {6}}));
  EXPECT_EQ(calculator.fills(), 1);
}

TEST(DiceRoller, RollFaceCreatesTheGeneratorOnce) {
  ScriptedCalculator calculator(4, {4, 1});
  EXPECT_FALSE(calculator->has_generator());
  EXPECT_EQ(calculator->roll_face(4), 4u);
  EXPECT_EQ(calculator->roll_face(4), 1u);
  EXPECT_EQ(calculator.fills(), 1);
  EXPECT_EQ(calculator.used(Resource::GeneratedValues), 2u);
  EXPECT_EQ(calculator.used(Resource::WorkUnits), 2u);
}

struct InvalidTerm {
  std::int32_t count;
  std::int32_t sides;
};

class InvalidDiceTest : public ::testing::TestWithParam<InvalidTerm> {};

TEST_P(InvalidDiceTest, FailsBeforeAnythingIsDrawnOrCharged) {
  ScriptedCalculator calculator{ResourcePolicy()};
  auto groups = calculator->roll_dice_with_budget({GetParam().count, GetParam().sides, {}});
  ASSERT_FALSE(groups.has_value());
  EXPECT_EQ(groups.error().kind(), DiceErrorKind::InvalidDiceExpression);
  EXPECT_EQ(groups.error().display(), "无效的骰子表达式: 骰子数量和面数必须大于0");
  EXPECT_EQ(calculator.fills(), 0);
  EXPECT_EQ(calculator.used(Resource::WorkUnits), 0u);
}

INSTANTIATE_TEST_SUITE_P(Terms, InvalidDiceTest,
                         ::testing::Values(InvalidTerm{0, 6}, InvalidTerm{6, 0}, InvalidTerm{-1, 6},
                                           InvalidTerm{3, -2}, InvalidTerm{INT32_MIN, 1},
                                           InvalidTerm{0, 0}),
                         [](const ::testing::TestParamInfo<InvalidTerm>& info) {
                           auto text = [](std::int32_t v) {
                             return v < 0 ? "minus" + std::to_string(-static_cast<std::int64_t>(v))
                                          : std::to_string(v);
                           };
                           return text(info.param.count) + "d" + text(info.param.sides);
                         });

// --- limits: each at the limit and one past it ---

class CountLimitTest : public ::testing::TestWithParam<Resource> {};

TEST_P(CountLimitTest, ComparesTheCountBeforeAnyDraw) {
  const Resource resource = GetParam();
  ScriptedCalculator at(policy_with(resource, 3));
  EXPECT_TRUE(at->roll_dice_with_budget({3, 6, {}}).has_value());
  EXPECT_EQ(at.used(resource), 0u) << "compared, never charged";

  ScriptedCalculator past(policy_with(resource, 2));
  auto groups = past->roll_dice_with_budget({3, 6, {}});
  ASSERT_FALSE(groups.has_value());
  EXPECT_EQ(groups.error(), DiceError::budget_exceeded(name_of(resource), 0, 3, 2));
  EXPECT_EQ(past.fills(), 0);
  EXPECT_FALSE(past->has_generator());
  EXPECT_EQ(past.used(Resource::RngWords), 0u);
}

INSTANTIATE_TEST_SUITE_P(Limits, CountLimitTest,
                         ::testing::Values(Resource::SourceItems, Resource::CollectionItems),
                         [](const ::testing::TestParamInfo<Resource>& info) {
                           return std::string(name_of(info.param));
                         });

TEST(DiceLimits, SourceItemsIsComparedBeforeCollectionItems) {
  ResourcePolicy policy =
      policy_with(Resource::CollectionItems, 1, policy_with(Resource::SourceItems, 1));
  ScriptedCalculator calculator(policy);
  auto groups = calculator->roll_dice_with_budget({2, 6, {}});
  ASSERT_FALSE(groups.has_value());
  EXPECT_EQ(groups.error().name(), "source_items");
}

TEST(DiceLimits, FaceCounterCountsFirstRollsAndExplosions) {
  const std::vector<std::uint32_t> faces{2, 2, 2, 1};
  ScriptedCalculator at(2, faces, policy_with(Resource::CollectionItems, 4));
  auto groups = roll(*at, 1, 2, {mod(K::Explode)});
  ASSERT_TRUE(groups.has_value());
  EXPECT_EQ(testing::groups_of(*groups), (Groups{{2, 2, 2, 1}}));

  ScriptedCalculator past(2, faces, policy_with(Resource::CollectionItems, 3));
  groups = roll(*past, 1, 2, {mod(K::Explode)});
  ASSERT_FALSE(groups.has_value());
  EXPECT_EQ(groups.error(), DiceError::budget_exceeded("collection_items", 0, 4, 3));
  // The fourth face was drawn and charged before the comparison refused it.
  EXPECT_EQ(past.used(Resource::GeneratedValues), 4u);
}

TEST(DiceLimits, FaceCounterIgnoresRerolls) {
  // Worked example: five counted faces, six generated.
  const std::vector<std::uint32_t> faces{6, 3, 1, 4, 2, 5};
  const std::vector<DiceModifier> modifiers{mod(K::Explode), mod(K::Reroll, 1)};
  ScriptedCalculator at(6, faces, policy_with(Resource::CollectionItems, 5));
  EXPECT_TRUE(at->roll_dice_with_budget({4, 6, modifiers}).has_value());

  ScriptedCalculator past(6, faces, policy_with(Resource::CollectionItems, 4));
  auto groups = past->roll_dice_with_budget({4, 6, modifiers});
  ASSERT_FALSE(groups.has_value());
  EXPECT_EQ(groups.error(), DiceError::budget_exceeded("collection_items", 0, 5, 4));
  EXPECT_EQ(past.used(Resource::GeneratedValues), 6u);

  // Rerolls that never end add no counted faces at all.
  ScriptedCalculator until(3, {1, 1, 1, 2}, policy_with(Resource::CollectionItems, 1));
  EXPECT_TRUE(roll(*until, 1, 3, {mod(K::RerollUntil, 1)}).has_value());
}

struct ChargeLimitCase {
  const char* name;
  Resource resource;
  std::uint64_t limit;  // the roll needs exactly this much
  std::vector<DiceModifier> modifiers;
  DiceError past_error;  // with one unit less
};

class ChargeLimitTest : public ::testing::TestWithParam<ChargeLimitCase> {};

TEST_P(ChargeLimitTest, PassesAtTheLimitAndFailsOneBelow) {
  const ChargeLimitCase& c = GetParam();
  ScriptedCalculator at(policy_with(c.resource, c.limit));
  auto groups = at->roll_dice_with_budget({3, 6, c.modifiers});
  ASSERT_TRUE(groups.has_value()) << groups.error().display();
  EXPECT_EQ(at.used(c.resource), c.limit);

  ScriptedCalculator past(policy_with(c.resource, c.limit - 1));
  groups = past->roll_dice_with_budget({3, 6, c.modifiers});
  ASSERT_FALSE(groups.has_value());
  EXPECT_EQ(groups.error(), c.past_error);
  EXPECT_EQ(past.used(c.resource), c.past_error.used()) << "a refused charge changes nothing";
}

INSTANTIATE_TEST_SUITE_P(
    Charges, ChargeLimitTest,
    ::testing::Values(ChargeLimitCase{"generated_values",
                                      Resource::GeneratedValues,
                                      3,
                                      {},
                                      DiceError::generated_values_exceeded(2, 1, 2)},
                      ChargeLimitCase{"rng_words",
                                      Resource::RngWords,
                                      3,
                                      {},
                                      DiceError::budget_exceeded("rng_words", 2, 1, 2)},
                      ChargeLimitCase{"work_units_per_face",
                                      Resource::WorkUnits,
                                      3,
                                      {},
                                      DiceError::budget_exceeded("work_units", 2, 1, 2)},
                      ChargeLimitCase{"work_units_per_pass",
                                      Resource::WorkUnits,
                                      3 + 3 + 2,
                                      {mod(K::KeepHigh, 2), mod(K::Sort)},
                                      DiceError::budget_exceeded("work_units", 6, 2, 7)}),
    [](const ::testing::TestParamInfo<ChargeLimitCase>& info) { return info.param.name; });

struct RefusedFaceCase {
  const char* name;
  Resource resource;                                      // limited to 2 for a roll of 3 dice
  std::uint64_t rng_words, generated_values, work_units;  // counters after the refusal
};

// Dice without per-die modifiers are drawn in bulk, dice with them one by one; both must
// stop at the same charge of the same face with the same counters.
class RefusedFaceTest
    : public ::testing::TestWithParam<std::tuple<RefusedFaceCase, std::vector<DiceModifier>>> {};

TEST_P(RefusedFaceTest, StopsAtTheSameChargeOnEveryPath) {
  const auto& [c, modifiers] = GetParam();
  ScriptedCalculator calculator(policy_with(c.resource, 2));
  auto groups = roll(*calculator, 3, 6, modifiers);
  ASSERT_FALSE(groups.has_value());
  EXPECT_EQ(groups.error().name(), name_of(c.resource));
  EXPECT_EQ(calculator.used(Resource::RngWords), c.rng_words);
  EXPECT_EQ(calculator.used(Resource::GeneratedValues), c.generated_values);
  EXPECT_EQ(calculator.used(Resource::WorkUnits), c.work_units);
  // The generator stands just after the last word drawn.
  EXPECT_EQ(calculator->generator()->index(), 2 * c.rng_words);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RefusedFaceTest,
    ::testing::Combine(
        ::testing::Values(RefusedFaceCase{"rng_words", Resource::RngWords, 2, 2, 2},
                          RefusedFaceCase{"generated_values", Resource::GeneratedValues, 3, 2, 2},
                          RefusedFaceCase{"work_units", Resource::WorkUnits, 3, 3, 2}),
        ::testing::Values(std::vector<DiceModifier>{}, std::vector<DiceModifier>{mod(K::Sort)},
                          std::vector<DiceModifier>{mod(K::Reroll, 0)},
                          std::vector<DiceModifier>{mod(K::Explode)})),
    [](const auto& info) {
      const auto& modifiers = std::get<1>(info.param);
      return std::string(std::get<0>(info.param).name) + "_" +
             (modifiers.empty() ? std::string("plain")
                                : "modifier" + std::to_string(static_cast<int>(modifiers[0].kind)));
    });

TEST(DiceLimits, GeneratedValuesMessageNamesTheLimit) {
  ScriptedCalculator calculator(policy_with(Resource::GeneratedValues, 2));
  auto groups = calculator->roll_dice_with_budget({3, 6, {}});
  ASSERT_FALSE(groups.has_value());
  EXPECT_EQ(groups.error().display(),
            "[limit.generated_values] 计算预算已耗尽: 最多生成 2 个骰子结果; used 2, requested 1");
}

TEST(DiceLimits, EndlessExplosionStopsAtGeneratedValuesBeforeTheFaceCounter) {
  ScriptedCalculator calculator{ResourcePolicy()};
  auto groups = roll(*calculator, 1, 1, {mod(K::Explode)});
  ASSERT_FALSE(groups.has_value());
  EXPECT_EQ(groups.error(), DiceError::generated_values_exceeded(10000, 1, 10000));
  EXPECT_EQ(calculator.used(Resource::RngWords), 10001u);
  EXPECT_EQ(calculator.used(Resource::WorkUnits), 10000u);
}

class EndlessRerollTest : public ::testing::TestWithParam<Resource> {};

TEST_P(EndlessRerollTest, RerollUntilAtOrAboveTheSidesEndsOnlyAtALimit) {
  const Resource resource = GetParam();
  ScriptedCalculator calculator(policy_with(resource, 50, ResourcePolicy::hard_maxima()));
  for (std::int32_t threshold : {3, 4, INT32_MAX}) {
    auto groups = roll(*calculator, 1, 3, {mod(K::RerollUntil, threshold)});
    ASSERT_FALSE(groups.has_value());
    EXPECT_EQ(groups.error(), calculator->budget().exceeded(resource, 1));
    EXPECT_EQ(calculator.used(resource), 50u);
    calculator->budget() = ExecutionBudget(calculator->policy());
  }
}

INSTANTIATE_TEST_SUITE_P(Limits, EndlessRerollTest,
                         ::testing::Values(Resource::GeneratedValues, Resource::RngWords,
                                           Resource::WorkUnits),
                         [](const ::testing::TestParamInfo<Resource>& info) {
                           return std::string(name_of(info.param));
                         });

TEST(DiceRoller, EntropyFailureAtTheFirstFaceEndsTheRoll) {
  testing::FailingEntropy failing{ENOSYS};
  DiceCalculator calculator(ResourcePolicy(), failing.source());
  auto groups = calculator.roll_dice_with_budget({2, 6, {}});
  ASSERT_FALSE(groups.has_value());
  EXPECT_EQ(groups.error().display(),
            "[random.entropy_unavailable] operating-system entropy is unavailable: OS Error: 38");
  EXPECT_FALSE(calculator.has_generator());
  EXPECT_EQ(calculator.budget().used(Resource::RngWords), 0u);
  EXPECT_EQ(failing.fills, 1);
}

// ---- work that the faces do not show ---------------------------------------------------

// Per-die rerolls scan each die's group; the scans are compared, across the request,
// with the work_units limit (for each die: its group's length times the rerolls that
// can match), and never charged. Sides of 2^31-1 with "r1" keep a fixed key from ever
// matching, so those rerolls draw nothing and only scan.
struct ScanCase {
  const char* name;
  std::int32_t count;
  std::vector<DiceModifier> modifiers;
  std::uint64_t work_limit;
  const char* error;  // null: the roll succeeds
};

std::vector<DiceModifier> operator+(std::vector<DiceModifier> a,
                                    const std::vector<DiceModifier>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<DiceModifier> times(int n, DiceModifier modifier) {
  return std::vector<DiceModifier>(static_cast<std::size_t>(n), modifier);
}

class RerollScanTest : public ::testing::TestWithParam<ScanCase> {};

TEST_P(RerollScanTest, ScansAreComparedWithTheWorkLimit) {
  const ScanCase& c = GetParam();
  ScriptedCalculator calculator(policy_with(Resource::WorkUnits, c.work_limit));
  auto groups = roll(*calculator, c.count, INT32_MAX, c.modifiers);
  if (c.error == nullptr) {
    ASSERT_TRUE(groups.has_value()) << groups.error().display();
  } else {
    ASSERT_FALSE(groups.has_value());
    EXPECT_EQ(groups.error().display(), c.error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Limits, RerollScanTest,
    ::testing::Values(
        // 4 faces, 12 scans, 3 passes over 4 values: 16 units of work.
        ScanCase{"within_the_limit", 4, times(3, mod(K::Reroll, 1)), 16, nullptr},
        // Scans equal to the limit pass; the third pool pass is what fails.
        ScanCase{"scans_at_the_limit", 4, times(3, mod(K::Reroll, 1)), 12,
                 "[limit.work_units] 计算预算已耗尽: used 12, requested 4, limit 12"},
        // Die 4 would bring the scans to 12.
        ScanCase{"scans_past_the_limit", 4, times(3, mod(K::Reroll, 1)), 11,
                 "[limit.work_units] 计算预算已耗尽: used 9, requested 3, limit 11"},
        // After k0 the passes cost one unit each, far less than the scans: die 11 of
        // 100 scans passes 1,000.
        ScanCase{"scans_behind_an_empty_pool", 100,
                 times(1, mod(K::KeepAlias, 0)) + times(100, mod(K::Reroll, 1)), 1000,
                 "[limit.work_units] 计算预算已耗尽: used 1000, requested 100, limit 1000"},
        // Thresholds below 1 never match, and are not scanned: 100 faces, a pass of
        // 100 values and 100 passes of one unit.
        ScanCase{"rerolls_below_one_are_not_scanned", 100,
                 times(1, mod(K::KeepAlias, 0)) + times(33, mod(K::RerollAdd, 0)) +
                     times(33, mod(K::RerollUntil, -1)) + times(34, mod(K::Reroll, INT32_MIN)),
                 300, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DiceRoller, RerollScansAddUpOverTheRequest) {
  // Per term: 3 faces, 12 scans, passes of 3 + 4 x 1 units: work 10.
  const std::vector<DiceModifier> modifiers =
      times(1, mod(K::KeepAlias, 0)) + times(4, mod(K::Reroll, 1));
  ScriptedCalculator calculator(policy_with(Resource::WorkUnits, 30));
  ASSERT_TRUE(roll(*calculator, 3, INT32_MAX, modifiers).has_value());
  ASSERT_TRUE(roll(*calculator, 3, INT32_MAX, modifiers).has_value());
  EXPECT_EQ(calculator.used(Resource::WorkUnits), 20u);
  auto third = roll(*calculator, 3, INT32_MAX, modifiers);
  ASSERT_FALSE(third.has_value());
  EXPECT_EQ(third.error().display(),
            "[limit.work_units] 计算预算已耗尽: used 28, requested 4, limit 30");
  // The next request counts from zero again.
  Expression expression;
  expression.root = expression.pool.add_dice(3, INT32_MAX, modifiers);
  EXPECT_TRUE(calculator->evaluate_expression(expression).has_value());
}

TEST(DiceRoller, RerollScansCountEveryValueOfAnExplodedGroup) {
  // 1d3! with faces 3, 3, 1: a group of three values that "ro3" and "r3" scan (6 in
  // all; "r0" is never scanned), each drawing one face.
  const std::vector<DiceModifier> modifiers{mod(K::Explode), mod(K::Reroll, 0),
                                            mod(K::RerollOnce, 3), mod(K::Reroll, 3)};
  const std::vector<std::uint32_t> faces{3, 3, 1, 2, 2};
  ScriptedCalculator enough(3, faces, policy_with(Resource::WorkUnits, 9));
  auto groups = roll(*enough, 1, 3, modifiers);
  ASSERT_TRUE(groups.has_value()) << groups.error().display();
  EXPECT_EQ(testing::groups_of(*groups), (Groups{{2}}));
  EXPECT_EQ(enough.used(Resource::WorkUnits), 9u);  // 5 faces and 4 passes over 1 value
  ScriptedCalculator tight(3, faces, policy_with(Resource::WorkUnits, 5));
  auto refused = roll(*tight, 1, 3, modifiers);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().display(),
            "[limit.work_units] 计算预算已耗尽: used 0, requested 6, limit 5");
}

TEST(DiceRoller, EveryPoolPassCostsAtLeastOneUnit) {
  // 1 face, "kh0" over one value, then 4,000 passes over the empty pool.
  const std::vector<DiceModifier> modifiers = times(4001, mod(K::KeepHigh, 0));
  ScriptedCalculator enough(policy_with(Resource::WorkUnits, 4002));
  ASSERT_TRUE(roll(*enough, 1, 6, modifiers).has_value());
  EXPECT_EQ(enough.used(Resource::WorkUnits), 4002u);
  ScriptedCalculator short_by_one(policy_with(Resource::WorkUnits, 4001));
  auto groups = roll(*short_by_one, 1, 6, modifiers);
  ASSERT_FALSE(groups.has_value());
  EXPECT_EQ(groups.error().display(),
            "[limit.work_units] 计算预算已耗尽: used 4001, requested 1, limit 4001");
}

}  // namespace
}  // namespace kavelo
