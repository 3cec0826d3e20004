#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "resource/execution_budget.hpp"
#include "resource/resource_policy.hpp"

namespace kavelo {
namespace {

ResourcePolicy with(Resource r, std::uint64_t limit) {
  auto policy = ResourcePolicy().with_limit(r, limit);
  EXPECT_TRUE(policy.has_value());
  return *policy;
}

TEST(ResourceTableTest, DefaultPolicyListsDefaultsInTableOrder) {
  const std::pair<const char*, std::uint64_t> expected[] = {{"source_bytes", 65536},
                                                            {"environment_items", 1024},
                                                            {"environment_bytes", 1048576},
                                                            {"parse_depth", 64},
                                                            {"ast_nodes", 4096},
                                                            {"parsed_instructions", 1000},
                                                            {"executed_instructions", 10000},
                                                            {"nesting_depth", 32},
                                                            {"source_items", 10000},
                                                            {"generated_values", 10000},
                                                            {"rng_words", 20000},
                                                            {"collection_items", 10000},
                                                            {"trace_nodes", 20000},
                                                            {"output_items", 10000},
                                                            {"output_bytes", 8388608},
                                                            {"work_units", 1000000},
                                                            {"batch_samples", 10000}};
  ResourcePolicy policy;
  for (std::size_t row = 0; row < kResourceCount; ++row) {
    EXPECT_STREQ(RESOURCE_SPECS[row].name, expected[row].first);
    EXPECT_EQ(policy.limit(static_cast<Resource>(row)), expected[row].second);
    EXPECT_EQ(policy.limit(std::string_view(expected[row].first)), expected[row].second);
  }
}

TEST(ResourceTableTest, LookupIsExactAndCaseSensitive) {
  for (std::size_t row = 0; row < kResourceCount; ++row) {
    EXPECT_EQ(find_resource(RESOURCE_SPECS[row].name), static_cast<Resource>(row));
  }
  for (const char* name : {"", "Work_units", "WORK_UNITS", "work_units ", "work_unit",
                           "work_unitss", "source_byte", "executed_instructions_"}) {
    EXPECT_FALSE(find_resource(name).has_value()) << name;
  }
  // A name with an embedded NUL is not the name before it.
  EXPECT_FALSE(find_resource(std::string_view("ast_nodes\0x", 11)).has_value());
}

TEST(ExecutionBudgetTest, ChargesUpToTheLimitAndRefusesBeyond) {
  ExecutionBudget budget(with(Resource::WorkUnits, 5));
  EXPECT_TRUE(budget.charge(Resource::WorkUnits, 3));
  EXPECT_TRUE(budget.charge(Resource::WorkUnits, 2));
  auto refused = budget.charge(Resource::WorkUnits, 1);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), DiceError::budget_exceeded("work_units", 5, 1, 5));
  EXPECT_EQ(budget.used(Resource::WorkUnits), 5u);
  // A charge of nothing passes even at the limit.
  EXPECT_TRUE(budget.charge(Resource::WorkUnits, 0));
  EXPECT_EQ(budget.used(Resource::WorkUnits), 5u);
}

TEST(ExecutionBudgetTest, RefusedChargeLeavesCounterUnchanged) {
  ExecutionBudget budget(ResourcePolicy{});
  ASSERT_TRUE(budget.charge(Resource::RngWords, 19999));
  auto refused = budget.charge(Resource::RngWords, 2);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), DiceError::budget_exceeded("rng_words", 19999, 2, 20000));
  EXPECT_EQ(budget.used(Resource::RngWords), 19999u);
  EXPECT_TRUE(budget.charge(Resource::RngWords, 1));
}

TEST(ExecutionBudgetTest, WrappingSumFailsWithTheFullAmount) {
  ExecutionBudget budget(ResourcePolicy::hard_maxima());
  ASSERT_TRUE(budget.charge(Resource::OutputBytes, 10));
  auto refused = budget.charge(Resource::OutputBytes, UINT64_MAX - 5);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(),
            DiceError::budget_exceeded("output_bytes", 10, UINT64_MAX - 5, 67108864));
  EXPECT_EQ(budget.used(Resource::OutputBytes), 10u);
}

TEST(ExecutionBudgetTest, GeneratedValuesHasItsOwnErrorKind) {
  ExecutionBudget budget(with(Resource::GeneratedValues, 2));
  ASSERT_TRUE(budget.charge(Resource::GeneratedValues, 2));
  auto refused = budget.charge(Resource::GeneratedValues, 1);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), DiceErrorKind::GeneratedValuesExceeded);
  EXPECT_EQ(refused.error().display(),
            "[limit.generated_values] 计算预算已耗尽: 最多生成 2 个骰子结果; used 2, requested 1");
}

TEST(ExecutionBudgetTest, ZeroLimitRefusesEveryPositiveCharge) {
  ExecutionBudget budget(with(Resource::OutputItems, 0));
  EXPECT_TRUE(budget.charge(Resource::OutputItems, 0));
  EXPECT_FALSE(budget.charge(Resource::OutputItems, 1));
}

TEST(ExecutionBudgetTest, CountersAreIndependent) {
  ExecutionBudget budget(ResourcePolicy{});
  ASSERT_TRUE(budget.charge(Resource::WorkUnits, 7));
  EXPECT_EQ(budget.used(Resource::WorkUnits), 7u);
  for (std::size_t row = 0; row < kResourceCount; ++row) {
    if (static_cast<Resource>(row) != Resource::WorkUnits) {
      EXPECT_EQ(budget.used(static_cast<Resource>(row)), 0u) << RESOURCE_SPECS[row].name;
    }
  }
}

TEST(ExecutionBudgetTest, EnsureComparesWithoutCounting) {
  ExecutionBudget budget(ResourcePolicy{});
  ASSERT_TRUE(budget.charge(Resource::CollectionItems, 9000));
  EXPECT_TRUE(budget.ensure(Resource::CollectionItems, 10000));
  auto refused = budget.ensure(Resource::CollectionItems, 10001);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), DiceError::budget_exceeded("collection_items", 0, 10001, 10000));
  EXPECT_EQ(budget.used(Resource::CollectionItems), 9000u);
}

TEST(SaturatingAddTest, SticksAtTheMaximum) {
  EXPECT_EQ(saturating_add(1, 2), 3u);
  EXPECT_EQ(saturating_add(UINT64_MAX, 1), UINT64_MAX);
  EXPECT_EQ(saturating_add(UINT64_MAX - 1, 1), UINT64_MAX);
  EXPECT_EQ(saturating_add(UINT64_MAX / 2 + 1, UINT64_MAX / 2 + 1), UINT64_MAX);
}

TEST(ResourcePolicyTest, WithLimitReplacesOneFieldOfACopy) {
  ResourcePolicy original;
  auto changed = original.with_limit("trace_nodes", 0);
  ASSERT_TRUE(changed);
  EXPECT_EQ(changed->limit(Resource::TraceNodes), 0u);
  EXPECT_EQ(original.limit(Resource::TraceNodes), 20000u);
  for (std::size_t row = 0; row < kResourceCount; ++row) {
    if (static_cast<Resource>(row) == Resource::TraceNodes) continue;
    EXPECT_EQ(changed->limit(static_cast<Resource>(row)), RESOURCE_SPECS[row].default_limit);
  }
}

TEST(ResourcePolicyTest, WithLimitAcceptsTheHardMaximumAndRefusesOneMore) {
  ResourcePolicy policy;
  for (std::size_t row = 0; row < kResourceCount; ++row) {
    const ResourceSpec& spec = RESOURCE_SPECS[row];
    auto at_max = policy.with_limit(spec.name, spec.hard_max);
    ASSERT_TRUE(at_max) << spec.name;
    EXPECT_EQ(at_max->limit(static_cast<Resource>(row)), spec.hard_max);
    auto above = policy.with_limit(spec.name, spec.hard_max + 1);
    ASSERT_FALSE(above) << spec.name;
    EXPECT_EQ(above.error(),
              DiceError::limit_above_hard_max(spec.name, spec.hard_max + 1, spec.hard_max));
  }
}

TEST(ResourcePolicyTest, NameIsCheckedBeforeValue) {
  auto refused = ResourcePolicy().with_limit("Output_bytes", UINT64_MAX);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), DiceError::unknown_limit("Output_bytes"));
  auto empty = ResourcePolicy().with_limit("", 1);
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.error().display(), "[policy.invalid_limit] unknown resource limit: ");
}

// A signed limit from outside: below zero is refused before the name is looked up; zero
// and above take the unsigned path with its checks.
TEST(ResourcePolicyTest, SignedLimitRefusesNegativesFirst) {
  auto negative = ResourcePolicy().with_signed_limit("no_such_limit", -1);
  ASSERT_FALSE(negative);
  EXPECT_EQ(negative.error(), DiceError::negative_limit("no_such_limit"));
  EXPECT_EQ(ResourcePolicy().with_signed_limit("work_units", INT64_MIN).error().display(),
            "[policy.invalid_limit] work_units limit must be non-negative");
  auto zero = ResourcePolicy().with_signed_limit("work_units", 0);
  ASSERT_TRUE(zero);
  EXPECT_EQ(zero->limit(Resource::WorkUnits), 0u);
  EXPECT_EQ(ResourcePolicy().with_signed_limit("Work_units", 1).error(),
            DiceError::unknown_limit("Work_units"));
  EXPECT_EQ(ResourcePolicy().with_signed_limit("output_bytes", INT64_MAX).error(),
            DiceError::limit_above_hard_max("output_bytes", INT64_MAX, 67108864));
}

}  // namespace
}  // namespace kavelo
