// Requests over several expressions: programs (one record per instruction) and batches
// (one expression sampled repeatedly from one stream), their frames, comparisons and
// output charges.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "random/request_random.hpp"
#include "support/evaluation_fixture.hpp"

namespace kavelo {
namespace {

using testing::json_text;
using testing::parse_expression;
using testing::parse_program;
using testing::policy_with;
using testing::Record;
using testing::records_of;
using testing::ScriptedCalculator;

// ---- programs ---------------------------------------------------------------------------

// Faces 4 | 6, 3, 1, 5: the third instruction continues the first one's stream.
constexpr const char* kProgram = "1d6; 2+3; 4d6kh3 # 注释";
const std::vector<std::uint32_t> kProgramFaces = {4, 6, 3, 1, 5};
const std::vector<Record> kProgramRecords = {
    {"1d6", 4, {{4}}, "1d6 = 4 (详情: [[4]])", {}},
    {"(2) + (3)", 5, {}, "2 + 3 = 5", {}},
    {"4d6", 14, {{6}, {5}, {3}}, "4d6kh3 = 14 (详情: [[6], [5], [3]])", {}},
};
const std::uint64_t kProgramBytes = json_text(kProgramRecords, "注释").size();

TEST(Program, EvaluatesEveryInstructionInOneRequest) {
  ScriptedCalculator calculator(6, kProgramFaces);
  auto result = calculator->evaluate_program(parse_program(kProgram));
  ASSERT_TRUE(result.has_value()) << result.error().display();
  // The records carry no comment; the program's comment is the result's own.
  EXPECT_EQ(records_of(result->results), kProgramRecords);
  EXPECT_EQ(result->comment, "注释");

  EXPECT_EQ(calculator.used(Resource::ExecutedInstructions), 3u);
  // Per instruction 1, nodes 1 + 3 + 1, faces 5, the keep pass over 4 values.
  EXPECT_EQ(calculator.used(Resource::WorkUnits), 3u + 5 + 5 + 4);
  EXPECT_EQ(calculator.used(Resource::OutputItems), 2u + 1 + 4);
  EXPECT_EQ(calculator.used(Resource::OutputBytes), kProgramBytes);
  EXPECT_EQ(calculator.used(Resource::CollectionItems), 0u);
  EXPECT_EQ(calculator.fills(), 1);
  EXPECT_EQ(calculator->nesting_depth(), 0u);
}

TEST(Program, WithoutCommentOrDiceMeasuresNullAndStillRequestsEntropy) {
  ScriptedCalculator calculator(ResourcePolicy{});
  auto result = calculator->evaluate_program(parse_program("7;-1*2"));
  ASSERT_TRUE(result.has_value()) << result.error().display();
  const std::vector<Record> expected = {{"7", 7, {}, "7", {}},
                                        {"(-1) * (2)", -2, {}, "-1 * 2 = -2", {}}};
  EXPECT_EQ(records_of(result->results), expected);
  EXPECT_EQ(result->comment, std::nullopt);
  EXPECT_EQ(calculator.used(Resource::OutputBytes), json_text(expected, std::nullopt).size());
  EXPECT_EQ(calculator.fills(), 1);
  EXPECT_EQ(calculator.used(Resource::RngWords), 0u);
}

struct ProgramLimitCase {
  const char* name;
  Resource resource;
  std::uint64_t needed;
  DiceError error;         // one unit short
  std::uint64_t executed;  // instructions started before the failure
  std::uint64_t generated;
  friend void PrintTo(const ProgramLimitCase& c, std::ostream* out) { *out << c.name; }
};

class ProgramLimitTest : public ::testing::TestWithParam<ProgramLimitCase> {};

TEST_P(ProgramLimitTest, SucceedsAtTheNeededLimitAndReturnsNothingOneShort) {
  const ProgramLimitCase& c = GetParam();
  const Program program = parse_program(kProgram);

  ScriptedCalculator at(6, kProgramFaces, policy_with(c.resource, c.needed));
  auto result = at->evaluate_program(program);
  ASSERT_TRUE(result.has_value()) << result.error().display();
  EXPECT_EQ(records_of(result->results), kProgramRecords);

  ScriptedCalculator past(6, kProgramFaces, policy_with(c.resource, c.needed - 1));
  auto refused = past->evaluate_program(program);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error(), c.error);
  EXPECT_EQ(past.used(Resource::ExecutedInstructions), c.executed);
  EXPECT_EQ(past.used(Resource::GeneratedValues), c.generated);
  EXPECT_EQ(past->nesting_depth(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Charges, ProgramLimitTest,
    ::testing::Values(
        ProgramLimitCase{"executed_instructions", Resource::ExecutedInstructions, 3,
                         DiceError::budget_exceeded("executed_instructions", 2, 1, 2), 2, 1},
        // 13 units are used when the keep pass asks for its 4.
        ProgramLimitCase{"work_units", Resource::WorkUnits, 17,
                         DiceError::budget_exceeded("work_units", 13, 4, 16), 3, 5},
        // Items 2 and 1 pass; the third record's 4 do not fit.
        ProgramLimitCase{"output_items", Resource::OutputItems, 7,
                         DiceError::budget_exceeded("output_items", 3, 4, 6), 3, 5},
        ProgramLimitCase{
            "output_bytes", Resource::OutputBytes, kProgramBytes,
            DiceError::budget_exceeded("output_bytes", 0, kProgramBytes, kProgramBytes - 1), 3, 5}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Program, InstructionCountIsComparedBeforeAnythingRuns) {
  const Program program = parse_program("1d6;2;3");
  ScriptedCalculator at(policy_with(Resource::CollectionItems, 3));
  EXPECT_TRUE(at->evaluate_program(program));
  EXPECT_EQ(at.used(Resource::CollectionItems), 0u);

  ScriptedCalculator past(policy_with(Resource::CollectionItems, 2));
  auto refused = past->evaluate_program(program);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error(), DiceError::budget_exceeded("collection_items", 0, 3, 2));
  EXPECT_EQ(past.used(Resource::ExecutedInstructions), 0u);
  EXPECT_EQ(past.fills(), 0);
}

TEST(Program, FailingInstructionDropsTheEarlierResults) {
  ScriptedCalculator calculator(6, {3});
  auto result = calculator->evaluate_program(parse_program("1d6; 1/0; 2d6 # never"));
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), DiceError::division_by_zero());
  EXPECT_EQ(calculator.used(Resource::ExecutedInstructions), 2u);
  EXPECT_EQ(calculator.used(Resource::GeneratedValues), 1u);  // 2d6 never rolled
  EXPECT_EQ(calculator.used(Resource::OutputItems), 2u);      // the first record's
  EXPECT_EQ(calculator.used(Resource::OutputBytes), 0u);
  EXPECT_EQ(calculator->nesting_depth(), 0u);
}

TEST(Program, EntropyFailureAfterEvaluationDropsTheResults) {
  testing::FailingEntropy failing{0};
  DiceCalculator calculator(ResourcePolicy(), failing.source());
  auto result = calculator.evaluate_program(parse_program("1+2; 3 # c"));
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().display(),
            "[random.entropy_unavailable] operating-system entropy is unavailable: "
            "errno: did not return a positive value");
  EXPECT_EQ(failing.fills, 1);
  EXPECT_EQ(calculator.budget().used(Resource::OutputItems), 2u);
  EXPECT_EQ(calculator.budget().used(Resource::OutputBytes), 0u);
}

TEST(Program, EachRequestStartsAfresh) {
  // The same key twice: the second run redraws the same faces under a fresh budget.
  ScriptedCalculator calculator(6, kProgramFaces, policy_with(Resource::ExecutedInstructions, 3));
  const Program program = parse_program(kProgram);
  ASSERT_TRUE(calculator->evaluate_program(program));
  auto again = calculator->evaluate_program(program);
  ASSERT_TRUE(again.has_value()) << again.error().display();
  EXPECT_EQ(records_of(again->results), kProgramRecords);
  EXPECT_EQ(calculator.used(Resource::ExecutedInstructions), 3u);
  EXPECT_EQ(calculator.fills(), 2);
}

// ---- batches ----------------------------------------------------------------------------

TEST(Batch, ZeroSamplesGiveAnEmptyListAndStillRequestEntropy) {
  ScriptedCalculator calculator(ResourcePolicy{});
  auto result = calculator->evaluate_batch(parse_expression("4d6"), 0);
  ASSERT_TRUE(result.has_value()) << result.error().display();
  EXPECT_TRUE(result->empty());
  EXPECT_EQ(calculator.fills(), 1);
  EXPECT_EQ(calculator.used(Resource::OutputBytes), 2u);  // []
  EXPECT_EQ(calculator.used(Resource::BatchSamples), 0u);
  EXPECT_EQ(calculator.used(Resource::ExecutedInstructions), 0u);
  EXPECT_EQ(calculator.used(Resource::OutputItems), 0u);
  EXPECT_EQ(calculator.used(Resource::GeneratedValues), 0u);
}

TEST(Batch, SamplesAreConsecutiveDrawsOfOneStream) {
  const testing::KeyBytes key = testing::test_key(11);
  ScriptedCalculator calculator(ResourcePolicy{}, key);
  auto result = calculator->evaluate_batch(parse_expression("1d6"), 10);
  ASSERT_TRUE(result.has_value()) << result.error().display();

  // A generator with the same key, drawn ten times for a d6.
  RequestRandom reference(key);
  ExecutionBudget reference_budget(ResourcePolicy{});
  std::vector<Record> expected;
  for (int i = 0; i < 10; ++i) {
    auto draw = reference.uniform_below(6, reference_budget);
    ASSERT_TRUE(draw.has_value());
    const auto face = static_cast<std::int64_t>(*draw + 1);
    const std::string text = std::to_string(face);
    expected.push_back({"1d6", face, {{face}}, "1d6 = " + text + " (详情: [[" + text + "]])", {}});
  }
  EXPECT_EQ(records_of(*result), expected);
  EXPECT_EQ(calculator.used(Resource::RngWords), reference_budget.used(Resource::RngWords));
  EXPECT_EQ(calculator.used(Resource::ExecutedInstructions), 10u);
  EXPECT_EQ(calculator.used(Resource::WorkUnits), 10u * 3);  // sample, node, face
  EXPECT_EQ(calculator.used(Resource::OutputItems), 10u * 2);
  EXPECT_EQ(calculator.used(Resource::OutputBytes), json_text(expected).size());
  EXPECT_EQ(calculator.used(Resource::BatchSamples), 10u);
  EXPECT_EQ(calculator.fills(), 1);
}

TEST(Batch, EverySampleCarriesTheExpressionsComment) {
  ScriptedCalculator calculator(6, {1, 2, 3});
  auto result = calculator->evaluate_batch(parse_expression("2+1d6 # 火 \"球\""), 3);
  ASSERT_TRUE(result.has_value()) << result.error().display();
  const std::vector<Record> expected = {
      {"(2) + (1d6)", 3, {{1}}, "2 + 1 = 3", "火 \"球\""},
      {"(2) + (1d6)", 4, {{2}}, "2 + 2 = 4", "火 \"球\""},
      {"(2) + (1d6)", 5, {{3}}, "2 + 3 = 5", "火 \"球\""},
  };
  EXPECT_EQ(records_of(*result), expected);
  EXPECT_EQ(calculator.used(Resource::OutputBytes), json_text(expected).size());
}

// "1d6" three times with faces 4, 1, 6.
const std::vector<Record> kBatchRecords = {
    {"1d6", 4, {{4}}, "1d6 = 4 (详情: [[4]])", {}},
    {"1d6", 1, {{1}}, "1d6 = 1 (详情: [[1]])", {}},
    {"1d6", 6, {{6}}, "1d6 = 6 (详情: [[6]])", {}},
};
const std::uint64_t kBatchBytes = json_text(kBatchRecords).size();

struct BatchLimitCase {
  const char* name;
  Resource resource;
  std::uint64_t needed;
  DiceError error;  // one unit short
  std::uint64_t generated;
  friend void PrintTo(const BatchLimitCase& c, std::ostream* out) { *out << c.name; }
};

class BatchLimitTest : public ::testing::TestWithParam<BatchLimitCase> {};

TEST_P(BatchLimitTest, SucceedsAtTheNeededLimitAndReturnsNothingOneShort) {
  const BatchLimitCase& c = GetParam();
  const Expression expression = parse_expression("1d6");

  ScriptedCalculator at(6, {4, 1, 6}, policy_with(c.resource, c.needed));
  auto result = at->evaluate_batch(expression, 3);
  ASSERT_TRUE(result.has_value()) << result.error().display();
  EXPECT_EQ(records_of(*result), kBatchRecords);

  ScriptedCalculator past(6, {4, 1, 6}, policy_with(c.resource, c.needed - 1));
  auto refused = past->evaluate_batch(expression, 3);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error(), c.error);
  EXPECT_EQ(past.used(Resource::GeneratedValues), c.generated);
  EXPECT_EQ(past.fills(), c.generated > 0 ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Charges, BatchLimitTest,
    ::testing::Values(
        // The declared size is charged, then compared, before any sample.
        BatchLimitCase{"batch_samples", Resource::BatchSamples, 3,
                       DiceError::budget_exceeded("batch_samples", 0, 3, 2), 0},
        BatchLimitCase{"collection_items", Resource::CollectionItems, 3,
                       DiceError::budget_exceeded("collection_items", 0, 3, 2), 0},
        BatchLimitCase{"executed_instructions", Resource::ExecutedInstructions, 3,
                       DiceError::budget_exceeded("executed_instructions", 2, 1, 2), 2},
        BatchLimitCase{"output_items", Resource::OutputItems, 6,
                       DiceError::budget_exceeded("output_items", 4, 2, 5), 3},
        BatchLimitCase{"output_bytes", Resource::OutputBytes, kBatchBytes,
                       DiceError::budget_exceeded("output_bytes", 0, kBatchBytes, kBatchBytes - 1),
                       3}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Batch, DefaultPolicyRefusesOneSampleAboveTheBatchLimit) {
  ScriptedCalculator calculator(ResourcePolicy{});
  auto result = calculator->evaluate_batch(parse_expression("1d6"), 10001);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), DiceError::budget_exceeded("batch_samples", 0, 10001, 10000));
  EXPECT_EQ(calculator.used(Resource::ExecutedInstructions), 0u);
  EXPECT_EQ(calculator.fills(), 0);
}

TEST(Batch, CollectionLimitBindsWhenTheBatchLimitIsRaised) {
  ScriptedCalculator calculator(policy_with(Resource::BatchSamples, 20000));
  auto result = calculator->evaluate_batch(parse_expression("1d6"), 10001);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), DiceError::budget_exceeded("collection_items", 0, 10001, 10000));
  EXPECT_EQ(calculator.used(Resource::BatchSamples), 10001u);
  EXPECT_EQ(calculator.used(Resource::ExecutedInstructions), 0u);
  EXPECT_EQ(calculator.fills(), 0);
}

TEST(Batch, SampleFailingMidwayReturnsNothing) {
  // 12/(1-3), 12/(2-3), then 12/(3-3).
  ScriptedCalculator calculator(6, {1, 2, 3});
  auto result = calculator->evaluate_batch(parse_expression("12/(1d6-3)"), 5);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), DiceError::division_by_zero());
  EXPECT_EQ(calculator.used(Resource::GeneratedValues), 3u);
  EXPECT_EQ(calculator.used(Resource::OutputItems), 2u * 2);
  EXPECT_EQ(calculator.used(Resource::OutputBytes), 0u);
  EXPECT_EQ(calculator->nesting_depth(), 0u);
}

struct BatchEntropyCase {
  const char* source;
  std::uint64_t times;
  friend void PrintTo(const BatchEntropyCase& c, std::ostream* out) { *out << c.source; }
};

class BatchEntropyTest : public ::testing::TestWithParam<BatchEntropyCase> {};

TEST_P(BatchEntropyTest, FailureAfterEvaluationDropsTheSamples) {
  testing::FailingEntropy failing{EAGAIN};
  DiceCalculator calculator(ResourcePolicy(), failing.source());
  auto result = calculator.evaluate_batch(parse_expression(GetParam().source), GetParam().times);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), DiceErrorKind::EntropyUnavailable);
  EXPECT_EQ(failing.fills, 1);
  EXPECT_EQ(calculator.budget().used(Resource::ExecutedInstructions), GetParam().times);
  EXPECT_EQ(calculator.budget().used(Resource::OutputBytes), 0u);
}

INSTANTIATE_TEST_SUITE_P(WithoutDice, BatchEntropyTest,
                         ::testing::Values(BatchEntropyCase{"1+2", 4}, BatchEntropyCase{"1d6", 0}));

}  // namespace
}  // namespace kavelo
