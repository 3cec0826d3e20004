// The calculator's request frame and its simple roll.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <string>
#include <vector>

#include "calculator/checked_sum.hpp"
#include "support/roll_fixture.hpp"

namespace kavelo {
namespace {

using testing::policy_with;
using testing::ScriptedCalculator;

struct SimpleRollCase {
  std::int32_t count;
  std::int32_t sides;
  std::vector<std::uint32_t> faces;
  std::int64_t total;
};

class SimpleRollTest : public ::testing::TestWithParam<SimpleRollCase> {};

TEST_P(SimpleRollTest, ReturnsTheSumAndChargesEveryStep) {
  const SimpleRollCase& c = GetParam();
  ScriptedCalculator calculator(static_cast<std::uint32_t>(c.sides), c.faces);
  auto total = calculator->roll_simple({c.count, c.sides, {}});
  ASSERT_TRUE(total.has_value()) << total.error().display();
  EXPECT_EQ(*total, c.total);
  EXPECT_EQ(calculator.used(Resource::ExecutedInstructions), 1u);
  EXPECT_EQ(calculator.used(Resource::WorkUnits), 1u + c.faces.size());
  EXPECT_EQ(calculator.used(Resource::GeneratedValues), c.faces.size());
  EXPECT_EQ(calculator.used(Resource::RngWords), c.faces.size());
  EXPECT_EQ(calculator.used(Resource::OutputItems), 1u);
  EXPECT_EQ(calculator.used(Resource::OutputBytes), std::to_string(c.total).size());
  EXPECT_EQ(calculator.fills(), 1);
}

INSTANTIATE_TEST_SUITE_P(Rolls, SimpleRollTest,
                         ::testing::Values(SimpleRollCase{3, 6, {4, 6, 5}, 15},
                                           SimpleRollCase{3, 6, {1, 2, 1}, 4},
                                           SimpleRollCase{1, 6, {6}, 6},
                                           SimpleRollCase{2, 100, {100, 1}, 101},
                                           SimpleRollCase{3, 10, {10, 10, 10}, 30}),
                         [](const ::testing::TestParamInfo<SimpleRollCase>& info) {
                           return std::to_string(info.param.count) + "d" +
                                  std::to_string(info.param.sides) + "_total_" +
                                  std::to_string(info.param.total);
                         });

TEST(SimpleRoll, ManyDiceStayInRangeAndChargeTheirDecimalLength) {
  ScriptedCalculator calculator(ResourcePolicy::hard_maxima());
  auto total = calculator->roll_simple({100000, 6, {}});
  ASSERT_TRUE(total.has_value());
  EXPECT_GE(*total, 100000);
  EXPECT_LE(*total, 600000);
  // The mean face of a d6 is 3.5; a total this far off would mean a broken draw.
  EXPECT_NEAR(static_cast<double>(*total) / 100000.0, 3.5, 0.05);
  EXPECT_EQ(calculator.used(Resource::OutputBytes), 6u);
  EXPECT_EQ(calculator.used(Resource::WorkUnits), 100001u);
}

TEST(SimpleRoll, NoWorkUnitsStopsTheRequestBeforeTheRoll) {
  ScriptedCalculator calculator(policy_with(Resource::WorkUnits, 0));
  auto total = calculator->roll_simple({3, 6, {}});
  ASSERT_FALSE(total.has_value());
  EXPECT_EQ(total.error(), DiceError::budget_exceeded("work_units", 0, 1, 0));
  EXPECT_EQ(calculator.used(Resource::ExecutedInstructions), 1u);
  EXPECT_EQ(calculator.fills(), 0);
}

TEST(SimpleRoll, ZeroDiceFailsAfterTheFirstTwoCharges) {
  ScriptedCalculator calculator{ResourcePolicy()};
  auto total = calculator->roll_simple({0, 6, {}});
  ASSERT_FALSE(total.has_value());
  EXPECT_EQ(total.error().display(), "无效的骰子表达式: 骰子数量和面数必须大于0");
  EXPECT_EQ(calculator.used(Resource::ExecutedInstructions), 1u);
  EXPECT_EQ(calculator.used(Resource::WorkUnits), 1u);
  // No generator is made for a roll that draws nothing.
  EXPECT_FALSE(calculator->has_generator());
  EXPECT_EQ(calculator.fills(), 0);
}

struct FrameLimitCase {
  const char* name;
  Resource resource;
  std::uint64_t needed;  // what the roll uses
  DiceError error;       // with one unit less
  int fills;             // entropy fills before the failure
};

class SimpleRollLimitTest : public ::testing::TestWithParam<FrameLimitCase> {};

// 3d6 showing 4, 6, 5: total 15, two output bytes.
TEST_P(SimpleRollLimitTest, FailsOneUnitShortOfTheRoll) {
  const FrameLimitCase& c = GetParam();
  ScriptedCalculator at(6, {4, 6, 5}, policy_with(c.resource, c.needed));
  EXPECT_EQ(at->roll_simple({3, 6, {}}), 15);
  EXPECT_EQ(at.used(c.resource), c.needed);

  ScriptedCalculator past(6, {4, 6, 5}, policy_with(c.resource, c.needed - 1));
  auto total = past->roll_simple({3, 6, {}});
  ASSERT_FALSE(total.has_value());
  EXPECT_EQ(total.error(), c.error);
  EXPECT_EQ(past.fills(), c.fills);
}

INSTANTIATE_TEST_SUITE_P(
    Charges, SimpleRollLimitTest,
    ::testing::Values(FrameLimitCase{"executed_instructions", Resource::ExecutedInstructions, 1,
                                     DiceError::budget_exceeded("executed_instructions", 0, 1, 0),
                                     0},
                      FrameLimitCase{"work_units", Resource::WorkUnits, 4,
                                     DiceError::budget_exceeded("work_units", 3, 1, 3), 1},
                      FrameLimitCase{"output_items", Resource::OutputItems, 1,
                                     DiceError::budget_exceeded("output_items", 0, 1, 0), 1},
                      FrameLimitCase{"output_bytes", Resource::OutputBytes, 2,
                                     DiceError::budget_exceeded("output_bytes", 0, 2, 1), 1}),
    [](const ::testing::TestParamInfo<FrameLimitCase>& info) { return info.param.name; });

// A term without modifiers is summed as it is drawn. The sum, the charges of every
// resource and the error must be those of rolling the term the general way and summing
// its values, at every size and with every limit the draw meets one unit short, at or
// one past what it needs.
TEST(SimpleRoll, SummingAsDrawnMatchesRollingTheTermAndSumming) {
  const Resource limited[] = {Resource::GeneratedValues, Resource::WorkUnits, Resource::RngWords,
                              Resource::CollectionItems, Resource::SourceItems};
  for (const std::int32_t count : {1, 255, 256, 257, 1000, 5000}) {
    for (const std::int32_t sides : {1, 6, 1000000007}) {
      for (const Resource resource : limited) {
        // RngWords needs about one word per die (a few more with rejections at large sides).
        for (const std::int64_t offset : {-600, -1, 0, 1, 600}) {
          const std::int64_t limit = count + offset;
          if (limit < 1) continue;
          const ResourcePolicy policy = policy_with(resource, static_cast<std::uint64_t>(limit),
                                                    ResourcePolicy::hard_maxima());
          ScriptedCalculator summed(policy, testing::test_key(11));
          ScriptedCalculator general(policy, testing::test_key(11));
          const auto total = summed->roll_simple({count, sides, {}});

          ExecutionBudget& budget = general->budget();
          ASSERT_TRUE(budget.charge(Resource::ExecutedInstructions, 1).has_value());
          ASSERT_TRUE(budget.charge(Resource::WorkUnits, 1).has_value());
          const auto groups = general->roll_dice_with_budget({count, sides, {}});
          const std::string where = std::to_string(count) + "d" + std::to_string(sides) + " " +
                                    std::string(name_of(resource)) + " " + std::to_string(limit);
          ASSERT_EQ(total.has_value(), groups.has_value()) << where;
          if (total) {
            EXPECT_EQ(*total, checked_sum(groups->values(), "simple roll aggregation")) << where;
          } else {
            EXPECT_EQ(total.error().display(), groups.error().display()) << where;
          }
          for (const Resource each :
               {Resource::GeneratedValues, Resource::WorkUnits, Resource::RngWords}) {
            EXPECT_EQ(summed.used(each), general.used(each)) << where << " " << name_of(each);
          }
        }
      }
    }
  }
}

TEST(SimpleRoll, EveryRequestStartsWithAFreshBudgetAndGenerator) {
  // Four work units: one for the request and one per die of 3d6.
  ScriptedCalculator calculator(6, {4, 6, 5}, policy_with(Resource::WorkUnits, 4));
  EXPECT_EQ(calculator->roll_simple({3, 6, {}}), 15);
  EXPECT_EQ(calculator.used(Resource::WorkUnits), 4u);
  // The same key again: a new generator starts the stream over.
  EXPECT_EQ(calculator->roll_simple({3, 6, {}}), 15);
  EXPECT_EQ(calculator.used(Resource::WorkUnits), 4u);
  EXPECT_EQ(calculator.used(Resource::RngWords), 3u);

  auto refused = calculator->roll_simple({4, 6, {}});
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error(), DiceError::budget_exceeded("work_units", 4, 1, 4));

  EXPECT_EQ(calculator->roll_simple({3, 6, {}}), 15);
  EXPECT_EQ(calculator.used(Resource::WorkUnits), 4u);
  EXPECT_EQ(calculator.used(Resource::GeneratedValues), 3u);
  EXPECT_EQ(calculator.fills(), 4);
  EXPECT_EQ(calculator->nesting_depth(), 0u);
}

TEST(SimpleRoll, EntropyFailureFailsTheRequest) {
  testing::FailingEntropy failing{EAGAIN};
  DiceCalculator calculator(ResourcePolicy(), failing.source());
  auto total = calculator.roll_simple({3, 6, {}});
  ASSERT_FALSE(total.has_value());
  EXPECT_EQ(total.error().kind(), DiceErrorKind::EntropyUnavailable);
  EXPECT_EQ(total.error().display(),
            "[random.entropy_unavailable] operating-system entropy is unavailable: OS Error: " +
                std::to_string(EAGAIN));
  EXPECT_FALSE(calculator.has_generator());
  EXPECT_EQ(calculator.budget().used(Resource::ExecutedInstructions), 1u);
  EXPECT_EQ(calculator.budget().used(Resource::WorkUnits), 1u);
  EXPECT_EQ(calculator.budget().used(Resource::RngWords), 0u);
}

TEST(SimpleRoll, OperatingSystemEntropyRollsByDefault) {
  DiceCalculator calculator{ResourcePolicy()};
  auto total = calculator.roll_simple({10, 20, {}});
  ASSERT_TRUE(total.has_value()) << total.error().display();
  EXPECT_GE(*total, 10);
  EXPECT_LE(*total, 200);
  EXPECT_TRUE(calculator.has_generator());
}

struct SumCase {
  const char* name;
  std::vector<std::int64_t> values;
  std::optional<std::int64_t> total;  // nothing for an overflow
};

class CheckedSumTest : public ::testing::TestWithParam<SumCase> {};

TEST_P(CheckedSumTest, SumsLeftToRightAndNamesTheOperationOnOverflow) {
  const SumCase& c = GetParam();
  for (const char* operation : {"simple roll aggregation", "reroll-and-add aggregation"}) {
    auto total = checked_sum(c.values, operation);
    if (c.total) {
      ASSERT_TRUE(total.has_value());
      EXPECT_EQ(*total, *c.total);
    } else {
      ASSERT_FALSE(total.has_value());
      EXPECT_EQ(total.error().display(),
                std::string("[arithmetic.overflow] checked i64 overflow during ") + operation);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sums, CheckedSumTest,
    ::testing::Values(SumCase{"empty", {}, 0}, SumCase{"plain", {6, 5, 4}, 15},
                      SumCase{"reaches_max", {INT64_MAX - 1, 1}, INT64_MAX},
                      SumCase{"past_max", {INT64_MAX, 1}, std::nullopt},
                      SumCase{"past_min", {INT64_MIN, -1}, std::nullopt},
                      SumCase{"back_in_range", {INT64_MAX, -1, 1}, INT64_MAX},
                      SumCase{"partial_sum_overflows", {INT64_MAX, 1, -1}, std::nullopt}),
    [](const ::testing::TestParamInfo<SumCase>& info) { return info.param.name; });

}  // namespace
}  // namespace kavelo
