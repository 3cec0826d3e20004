// Evaluating one expression: result texts, arithmetic through the tree, left-to-right
// order of dice and failures, the nesting limit, the per-node work and the output
// charges of the request.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "support/evaluation_fixture.hpp"

namespace kavelo {
namespace {

using testing::Groups;
using testing::parse_expression;
using testing::policy_with;
using testing::Record;
using testing::ScriptedCalculator;

// Calculator for texts whose d6 faces are scripted (no faces: any key will do).
class Calculator : public ScriptedCalculator {
 public:
  explicit Calculator(const std::vector<std::uint32_t>& faces,
                      const ResourcePolicy& policy = ResourcePolicy())
      : ScriptedCalculator(6, faces.empty() ? std::vector<std::uint32_t>{1} : faces, policy) {}
};

// ---- texts, totals, rolls and work of well-formed expressions --------------------------

struct TextCase {
  const char* name;
  const char* source;
  std::vector<std::uint32_t> faces;  // every d6 face the request draws, in draw order
  Record record;
  // 1 for the request, 1 per tree node, 1 per face, and the pool size at every pass
  // of a modifier over a dice term.
  std::uint64_t work_units;
  friend void PrintTo(const TextCase& c, std::ostream* out) { *out << c.name; }
};

class ExpressionTextTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(ExpressionTextTest, BuildsTheRecordAndChargesIt) {
  const TextCase& c = GetParam();
  const Expression expression = parse_expression(c.source);
  Calculator calculator(c.faces);
  auto result = calculator->evaluate_expression(expression);
  ASSERT_TRUE(result.has_value()) << result.error().display();
  EXPECT_EQ(testing::record_of(*result), c.record);

  EXPECT_EQ(calculator.used(Resource::ExecutedInstructions), 1u);
  EXPECT_EQ(calculator.used(Resource::WorkUnits), c.work_units);
  EXPECT_EQ(calculator.used(Resource::GeneratedValues), c.faces.size());
  EXPECT_EQ(calculator.used(Resource::OutputItems), testing::items_of(c.record));
  EXPECT_EQ(calculator.used(Resource::OutputBytes), testing::json_text(c.record).size());
  EXPECT_EQ(calculator.fills(), 1);  // dice or not, one entropy request
  EXPECT_TRUE(calculator->has_generator());
  EXPECT_EQ(calculator->nesting_depth(), 0u);
}

// Expression texts: numbers as written, dice as count "d" sides, every binary node as
// "(left) op (right)" whatever parentheses the source had (chains nest to the left).
// Details: the root's own account only; a binary root shows its operands' totals.
const TextCase kTextCases[] = {
    {"number", "5", {}, {"5", 5, {}, "5", {}}, 1 + 1},
    {"negative_number", "-5", {}, {"-5", -5, {}, "-5", {}}, 1 + 1},
    {"addition", "1+2", {}, {"(1) + (2)", 3, {}, "1 + 2 = 3", {}}, 1 + 3},
    {"chain_nests_left", "1+2*3", {}, {"((1) + (2)) * (3)", 9, {}, "3 * 3 = 9", {}}, 1 + 5},
    // Paren adds no text of its own but is a node of its own.
    {"parenthesised_left", "(1+2)*3", {}, {"((1) + (2)) * (3)", 9, {}, "3 * 3 = 9", {}}, 1 + 6},
    {"parenthesised_right", "1+(2*3)", {}, {"(1) + ((2) * (3))", 7, {}, "1 + 6 = 7", {}}, 1 + 6},
    {"subtraction_below_zero", "8-10", {}, {"(8) - (10)", -2, {}, "8 - 10 = -2", {}}, 1 + 3},
    {"division_truncates", "10/3", {}, {"(10) / (3)", 3, {}, "10 / 3 = 3", {}}, 1 + 3},
    {"negative_division_truncates_toward_zero",
     "-10/3",
     {},
     {"(-10) / (3)", -3, {}, "-10 / 3 = -3", {}},
     1 + 3},
    {"negative_divisor", "7/-2", {}, {"(7) / (-2)", -3, {}, "7 / -2 = -3", {}}, 1 + 3},
    {"power", "2^10", {}, {"(2) ^ (10)", 1024, {}, "2 ^ 10 = 1024", {}}, 1 + 3},
    {"plain_dice",
     "2d6",
     {3, 4},
     {"2d6", 7, {{3}, {4}}, "2d6 = 7 (详情: [[3], [4]])", {}},
     1 + 1 + 2},
    {"dice_plus_number",
     "2d6+3",
     {3, 4},
     {"(2d6) + (3)", 10, {{3}, {4}}, "7 + 3 = 10", {}},
     1 + 3 + 2},
    // 6,3,1,5 keep the three highest: 6, 5, 3.
    {"keep_high",
     "4d6kh3",
     {6, 3, 1, 5},
     {"4d6", 14, {{6}, {5}, {3}}, "4d6kh3 = 14 (详情: [[6], [5], [3]])", {}},
     1 + 1 + 4 + 4},
    // The worked example: [6,3] [1→4] [2] [5] per die, then 5 values per pass over
    // three modifiers; the three highest of 6,3,4,2,5 are 6,5,4.
    {"worked_example",
     "4d6!r1kh3",
     {6, 3, 1, 4, 2, 5},
     {"4d6", 15, {{6}, {5}, {4}}, "4d6!r1kh3 = 15 (详情: [[6], [5], [4]])", {}},
     1 + 1 + 6 + 15},
    {"worked_example_in_parentheses",
     "(4d6!r1kh3)",
     {6, 3, 1, 4, 2, 5},
     {"4d6", 15, {{6}, {5}, {4}}, "4d6!r1kh3 = 15 (详情: [[6], [5], [4]])", {}},
     1 + 2 + 6 + 15},
    // An exploded die keeps its faces together in one group.
    {"exploded_group",
     "2d6!",
     {6, 2, 3},
     {"2d6", 11, {{6, 2}, {3}}, "2d6! = 11 (详情: [[6, 2], [3]])", {}},
     1 + 1 + 3 + 3},
    {"both_explode_spellings",
     "3d6e!",
     {2, 6, 1, 3},
     {"3d6", 12, {{2}, {6, 1}, {3}}, "3d6e! = 12 (详情: [[2], [6, 1], [3]])", {}},
     1 + 1 + 4 + 4 + 4},
    {"keep_alias_spelling",
     "4d6k2",
     {1, 5, 3, 2},
     {"4d6", 8, {{5}, {3}}, "4d6k2 = 8 (详情: [[5], [3]])", {}},
     1 + 1 + 4 + 4},
    {"nothing_kept",
     "4d6kh0",
     {1, 2, 3, 4},
     {"4d6", 0, {}, "4d6kh0 = 0 (详情: [])", {}},
     1 + 1 + 4 + 4},
    // Rolls of both operands, left first.
    {"two_terms", "1d6-1d6", {5, 2}, {"(1d6) - (1d6)", 3, {{5}, {2}}, "5 - 2 = 3", {}}, 1 + 3 + 2},
    {"groups_of_both_terms",
     "2d6!*1d6",
     {6, 1, 4, 2},
     {"(2d6) * (1d6)", 22, {{6, 1}, {4}, {2}}, "11 * 2 = 22", {}},
     1 + 3 + 4 + 3},
    {"right_term_nested",
     "1d6+(1d6+2d6kh1)",
     {1, 2, 3, 6},
     {"(1d6) + ((1d6) + (2d6))", 9, {{1}, {2}, {6}}, "1 + 8 = 9", {}},
     1 + 6 + 4 + 2},
    {"commented_dice",
     "1d6 # fire",
     {4},
     {"1d6", 4, {{4}}, "1d6 = 4 (详情: [[4]])", "fire"},
     1 + 2 + 1},
    {"commented_chinese", "1+2 # 火球术", {}, {"(1) + (2)", 3, {}, "1 + 2 = 3", "火球术"}, 1 + 4},
    // The comment's quote and backslash are escaped in the measured text.
    {"commented_escapes", "(7) # say \"hi\" \\o", {}, {"7", 7, {}, "7", "say \"hi\" \\o"}, 1 + 3},
};

INSTANTIATE_TEST_SUITE_P(Texts, ExpressionTextTest, ::testing::ValuesIn(kTextCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- checked arithmetic through the tree -------------------------------------------------

struct ArithmeticCase {
  const char* name;
  const char* source;
  std::optional<std::int64_t> total;
  std::optional<DiceError> error;
  friend void PrintTo(const ArithmeticCase& c, std::ostream* out) { *out << c.name; }
};

class ArithmeticTest : public ::testing::TestWithParam<ArithmeticCase> {};

TEST_P(ArithmeticTest, MatchesTheMathematicalResultOrFails) {
  const ArithmeticCase& c = GetParam();
  Calculator calculator({});
  auto result = calculator->evaluate_expression(parse_expression(c.source));
  if (c.total) {
    ASSERT_TRUE(result.has_value()) << result.error().display();
    EXPECT_EQ(result->total, *c.total);
  } else {
    ASSERT_FALSE(result.has_value()) << result->total;
    EXPECT_EQ(result.error(), *c.error);
    // A failed request reports no output and requests no entropy after the fact.
    EXPECT_EQ(calculator.used(Resource::OutputItems), 0u);
    EXPECT_EQ(calculator.fills(), 0);
  }
  EXPECT_EQ(calculator->nesting_depth(), 0u);
}

const ArithmeticCase kArithmeticCases[] = {
    {"min_divided_by_minus_one",
     "-9223372036854775808/-1",
     {},
     DiceError::arithmetic_overflow("division")},
    {"min_divided_by_one", "-9223372036854775808/1", INT64_MIN, {}},
    {"zero_divisor_checked_before_the_overflowing_pair",
     "-9223372036854775808/0",
     {},
     DiceError::division_by_zero()},
    {"zero_by_zero", "0/0", {}, DiceError::division_by_zero()},
    {"two_to_62", "2^62", INT64_C(4611686018427387904), {}},
    {"two_to_63", "2^63", {}, DiceError::arithmetic_overflow("exponentiation")},
    // -2^63 is the smallest value and fits.
    {"minus_two_to_63", "(-2)^63", INT64_MIN, {}},
    {"signed_number_base", "-2^63", INT64_MIN, {}},
    {"minus_two_to_64", "-2^64", {}, DiceError::arithmetic_overflow("exponentiation")},
    {"zero_to_zero", "0^0", 1, {}},
    {"five_to_zero", "5^0", 1, {}},
    {"negative_exponent", "2^-1", {}, DiceError::invalid_exponent(-1)},
    {"largest_exponent", "1^4294967295", 1, {}},
    {"exponent_above_32_bits", "1^4294967296", {}, DiceError::invalid_exponent(4294967296)},
    {"add_past_max", "9223372036854775807+1", {}, DiceError::arithmetic_overflow("addition")},
    {"add_to_max", "9223372036854775806+1", INT64_MAX, {}},
    {"subtract_past_min",
     "-9223372036854775808-1",
     {},
     DiceError::arithmetic_overflow("subtraction")},
    {"subtract_to_max", "-1--9223372036854775808", INT64_MAX, {}},
    {"multiply_past_max",
     "4611686018427387904*2",
     {},
     DiceError::arithmetic_overflow("multiplication")},
    {"multiply_to_min", "4611686018427387904*-2", INT64_MIN, {}},
    // An intermediate overflow fails even when later operators would bring it back.
    {"intermediate_overflow",
     "9223372036854775807+1-1",
     {},
     DiceError::arithmetic_overflow("addition")},
};

INSTANTIATE_TEST_SUITE_P(Edges, ArithmeticTest, ::testing::ValuesIn(kArithmeticCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- left to right: which dice are rolled before a failure ------------------------------

struct OrderCase {
  const char* name;
  const char* source;
  std::vector<std::uint32_t> faces;
  DiceError error;
  std::uint64_t generated;  // faces drawn before the failure
  friend void PrintTo(const OrderCase& c, std::ostream* out) { *out << c.name; }
};

class EvaluationOrderTest : public ::testing::TestWithParam<OrderCase> {};

TEST_P(EvaluationOrderTest, FailsAfterExactlyTheDiceBeforeIt) {
  const OrderCase& c = GetParam();
  Calculator calculator(c.faces);
  auto result = calculator->evaluate_expression(parse_expression(c.source));
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), c.error);
  EXPECT_EQ(calculator.used(Resource::GeneratedValues), c.generated);
  EXPECT_EQ(calculator.fills(), c.generated > 0 ? 1 : 0);
  EXPECT_EQ(calculator.used(Resource::OutputItems), 0u);
  EXPECT_EQ(calculator->nesting_depth(), 0u);
}

const OrderCase kOrderCases[] = {
    // Division checks its divisor only after both operands were evaluated.
    {"divisor_zero_after_left_dice", "2d6/0", {3, 4}, DiceError::division_by_zero(), 2},
    {"divisor_zero_after_both_dice", "1d6/(1d6*0)", {5, 2}, DiceError::division_by_zero(), 2},
    {"right_failure_after_left_dice", "2d6+(1/0)", {3, 4}, DiceError::division_by_zero(), 2},
    // A failing left operand stops the node before the right operand's dice.
    {"left_invalid_exponent", "(2^-1)+3d6", {}, DiceError::invalid_exponent(-1), 0},
    {"left_division_by_zero", "(1/0)*2d6", {}, DiceError::division_by_zero(), 0},
    {"left_overflow",
     "(9223372036854775807+1)-1d6",
     {},
     DiceError::arithmetic_overflow("addition"),
     0},
    {"left_invalid_dice",
     "0d6+2d6",
     {},
     DiceError::invalid_dice_expression("骰子数量和面数必须大于0"),
     0},
    {"middle_failure", "1d6+(1/0)+1d6", {2}, DiceError::division_by_zero(), 1},
};

INSTANTIATE_TEST_SUITE_P(LeftToRight, EvaluationOrderTest, ::testing::ValuesIn(kOrderCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- nesting depth ------------------------------------------------------------------------

std::string parenthesised(std::size_t levels, const std::string& inner = "1") {
  return std::string(levels, '(') + inner + std::string(levels, ')');
}

std::string chain(std::size_t operators) {
  std::string text = "1";
  for (std::size_t i = 0; i < operators; ++i) text += "+1";
  return text;
}

struct DepthCase {
  const char* name;
  std::uint64_t limit;
  std::string at_limit;    // deepest path exactly `limit` nodes
  std::string past_limit;  // one node deeper
  friend void PrintTo(const DepthCase& c, std::ostream* out) { *out << c.name; }
};

class NestingDepthTest : public ::testing::TestWithParam<DepthCase> {};

TEST_P(NestingDepthTest, EvaluatesAtTheLimitAndFailsOneLevelDeeper) {
  const DepthCase& c = GetParam();
  Calculator calculator({}, policy_with(Resource::NestingDepth, c.limit));

  auto at = calculator->evaluate_expression(parse_expression(c.at_limit));
  ASSERT_TRUE(at.has_value()) << at.error().display();
  EXPECT_EQ(calculator->nesting_depth(), 0u);

  auto past = calculator->evaluate_expression(parse_expression(c.past_limit));
  ASSERT_FALSE(past.has_value());
  EXPECT_EQ(past.error(), DiceError::budget_exceeded("nesting_depth", c.limit, 1, c.limit));
  // The request's unit and the `limit` ancestors on the path charged their work; the
  // refused node charged none. The depth is never charged to the budget.
  EXPECT_EQ(calculator.used(Resource::WorkUnits), 1 + c.limit);
  EXPECT_EQ(calculator.used(Resource::NestingDepth), 0u);
  EXPECT_EQ(calculator->nesting_depth(), 0u);

  // The calculator serves the next request from depth 0.
  auto again = calculator->evaluate_expression(parse_expression(c.at_limit));
  EXPECT_TRUE(again.has_value());
}

// A chain of n operators is n + 1 nodes deep on its left edge; a commented text adds
// its Commented root.
const DepthCase kDepthCases[] = {
    {"single_level", 1, "1", "(1)"},
    {"parentheses_need_a_level_each", 5, "((((1))))", "(((((1)))))"},
    {"default_limit_parentheses", 32, parenthesised(31), parenthesised(32)},
    {"default_limit_operator_chain", 32, chain(31), chain(32)},
    {"commented_root", 4, "((1)) # c", "(((1))) # c"},
    {"dice_at_the_bottom", 3, "((1d6))", "(((1d6)))"},
    {"hard_maximum", 128, parenthesised(127), parenthesised(128)},
};

INSTANTIATE_TEST_SUITE_P(Limits, NestingDepthTest, ::testing::ValuesIn(kDepthCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(NestingDepth, DefaultPolicyAllowsThirtyTwoLevels) {
  Calculator calculator({});
  EXPECT_TRUE(calculator->evaluate_expression(parse_expression(parenthesised(31))));
  auto past = calculator->evaluate_expression(parse_expression(parenthesised(32)));
  ASSERT_FALSE(past.has_value());
  EXPECT_EQ(past.error(), DiceError::budget_exceeded("nesting_depth", 32, 1, 32));
}

TEST(NestingDepth, FailuresDeepInTheTreeLeaveTheDepthBalanced) {
  Calculator calculator({6}, policy_with(Resource::WorkUnits, 40));
  const char* failing[] = {"((((1/0))))", "(((0d6)))+1", "((((2^-1))))",
                           // 1d6R6 rerolls until a face above 6: it ends at the work limit
                           "(((1d6R6)))"};
  for (const char* text : failing) {
    auto result = calculator->evaluate_expression(parse_expression(text));
    EXPECT_FALSE(result.has_value()) << text;
    EXPECT_EQ(calculator->nesting_depth(), 0u) << text;
  }
}

TEST(NestingDepth, TheDeepestTreesAreWrittenOutAndSummedInOrder) {
  // 125 operators nested to the left, their right operands a number, a number in two
  // brackets or a roll of 1d1 in turn, so that the deepest operand is at the hard
  // maximum of 128 levels; the expected text is built here by the rule
  // "(left) op (right)".
  std::string source = "7";
  std::string expected = "7";
  std::int64_t total = 7;
  for (int i = 1; i <= 125; ++i) {
    const char op = i % 2 == 0 ? '+' : '-';
    const std::string operand[] = {std::to_string(i), "((" + std::to_string(i) + "))", "1d1"};
    const std::string right[] = {std::to_string(i), std::to_string(i), "1d1"};
    const std::int64_t value = i % 3 == 2 ? 1 : i;
    source += op + operand[i % 3];
    expected = "(" + expected + ") " + op + " (" + right[i % 3] + ")";
    total = op == '+' ? total + value : total - value;
  }
  Calculator calculator({1}, ResourcePolicy::hard_maxima());
  auto result = calculator->evaluate_expression(parse_expression(source));
  ASSERT_TRUE(result.has_value()) << result.error().display();
  EXPECT_EQ(result->expression, expected);
  EXPECT_EQ(result->total, total);
  EXPECT_EQ(result->rolls.group_count(), 42u);  // one group per 1d1
  EXPECT_EQ(calculator->nesting_depth(), 0u);
}

// ---- request frame and output charges ------------------------------------------------------

// "2d6+3 # note" with faces 3 and 4; its canonical text is written out from the rules.
const Record kCharged{"(2d6) + (3)", 10, {{3}, {4}}, "7 + 3 = 10", "note"};

struct FrameCase {
  const char* name;
  Resource resource;
  std::uint64_t needed;
  DiceError error;  // one unit short
  friend void PrintTo(const FrameCase& c, std::ostream* out) { *out << c.name; }
};

class ExpressionFrameTest : public ::testing::TestWithParam<FrameCase> {};

TEST_P(ExpressionFrameTest, SucceedsAtTheNeededLimitAndFailsOneShort) {
  const FrameCase& c = GetParam();
  const Expression expression = parse_expression("2d6+3 # note");

  Calculator at({3, 4}, policy_with(c.resource, c.needed));
  auto result = at->evaluate_expression(expression);
  ASSERT_TRUE(result.has_value()) << result.error().display();
  EXPECT_EQ(testing::record_of(*result), kCharged);
  // The depth is compared, never charged.
  EXPECT_EQ(at.used(c.resource), c.resource == Resource::NestingDepth ? 0 : c.needed);

  Calculator past({3, 4}, policy_with(c.resource, c.needed - 1));
  auto refused = past->evaluate_expression(expression);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error(), c.error);
  EXPECT_EQ(past->nesting_depth(), 0u);
}

const std::uint64_t kChargedBytes = testing::json_text(kCharged).size();

INSTANTIATE_TEST_SUITE_P(
    Charges, ExpressionFrameTest,
    ::testing::Values(FrameCase{"executed_instructions", Resource::ExecutedInstructions, 1,
                                DiceError::budget_exceeded("executed_instructions", 0, 1, 0)},
                      // request + Commented, Add, Dice, two faces, Number: the Number is refused.
                      FrameCase{"work_units", Resource::WorkUnits, 7,
                                DiceError::budget_exceeded("work_units", 6, 1, 6)},
                      // Three nodes deep: Commented, Add, Dice or Number.
                      FrameCase{"nesting_depth", Resource::NestingDepth, 3,
                                DiceError::budget_exceeded("nesting_depth", 2, 1, 2)},
                      FrameCase{"output_items", Resource::OutputItems, 3,
                                DiceError::budget_exceeded("output_items", 0, 3, 2)},
                      FrameCase{"output_bytes", Resource::OutputBytes, kChargedBytes,
                                DiceError::budget_exceeded("output_bytes", 0, kChargedBytes,
                                                           kChargedBytes - 1)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ExpressionFrame, TheWorkedExampleMeasuresItsChineseDetails) {
  // 4d6!r1kh3 = 15 (详情: [[6], [5], [4]]): 详情 is six bytes of UTF-8.
  const std::string text =
      R"j({"expression":"4d6","total":15,"rolls":[[6],[5],[4]],)j"
      R"j("details":"4d6!r1kh3 = 15 (详情: [[6], [5], [4]])","comment":null})j";
  Calculator calculator({6, 3, 1, 4, 2, 5}, policy_with(Resource::OutputBytes, text.size()));
  ASSERT_TRUE(calculator->evaluate_expression(parse_expression("4d6!r1kh3")));
  EXPECT_EQ(calculator.used(Resource::OutputBytes), text.size());
  EXPECT_EQ(calculator.used(Resource::OutputItems), 4u);
}

TEST(ExpressionFrame, OutputItemsAreChargedBeforeTheTextIsMeasured) {
  Calculator calculator({3, 4}, policy_with(Resource::OutputItems, 2));
  auto result = calculator->evaluate_expression(parse_expression("2d6+3 # note"));
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(calculator.used(Resource::OutputBytes), 0u);
}

TEST(ExpressionFrame, ExpressionWithoutDiceCreatesTheGeneratorAfterEvaluation) {
  Calculator calculator({});
  ASSERT_TRUE(calculator->evaluate_expression(parse_expression("1+2")));
  EXPECT_EQ(calculator.fills(), 1);
  EXPECT_TRUE(calculator->has_generator());
  EXPECT_EQ(calculator.used(Resource::RngWords), 0u);
  EXPECT_EQ(calculator.used(Resource::OutputItems), 1u);
}

struct EntropyCase {
  const char* source;
  std::uint64_t work_units;  // charged before the entropy request failed
  friend void PrintTo(const EntropyCase& c, std::ostream* out) { *out << c.source; }
};

class EntropyFailureTest : public ::testing::TestWithParam<EntropyCase> {};

TEST_P(EntropyFailureTest, FailsTheRequestWithAndWithoutDice) {
  testing::FailingEntropy failing{EIO};
  DiceCalculator calculator(ResourcePolicy(), failing.source());
  auto result = calculator.evaluate_expression(parse_expression(GetParam().source));
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().display(),
            "[random.entropy_unavailable] operating-system entropy is unavailable: OS Error: 5");
  EXPECT_EQ(failing.fills, 1);
  EXPECT_FALSE(calculator.has_generator());
  EXPECT_EQ(calculator.budget().used(Resource::WorkUnits), GetParam().work_units);
  EXPECT_EQ(calculator.budget().used(Resource::OutputItems), 0u);
  EXPECT_EQ(calculator.budget().used(Resource::OutputBytes), 0u);
  EXPECT_EQ(calculator.nesting_depth(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Sources, EntropyFailureTest,
                         // 1+2 evaluates fully (1 + 3 nodes) and fails after; 2d6+3 fails at its
                         // first face, after the request and the Add and Dice nodes.
                         ::testing::Values(EntropyCase{"1+2", 4}, EntropyCase{"2d6+3", 3}));

TEST(ExpressionFrame, DiceErrorsPassThroughUnchanged) {
  Calculator calculator({}, policy_with(Resource::GeneratedValues, 3));
  auto result = calculator->evaluate_expression(parse_expression("1+4d6"));
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), DiceError::generated_values_exceeded(3, 1, 3));
  EXPECT_EQ(calculator->nesting_depth(), 0u);
}

}  // namespace
}  // namespace kavelo
