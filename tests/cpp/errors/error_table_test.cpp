// The error table read back through every path: a factory's error to its exact text,
// code and English text; a text back to its row and fields; every row's template
// filled and read back; syntax reports read back from their text.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "errors/dice_error.hpp"
#include "errors/error_text.hpp"
#include "parser/dice_parser.hpp"
#include "parser/kavelo/grammar.hpp"
#include "parser/kavelo/syntax_error.hpp"

namespace kavelo {
namespace {

// --- every DiceError row: factory -> text, code, English -> matched back ---

struct FactoryCase {
  const char* label;
  DiceError error;
  ErrorId id;
  std::string text;
  std::string code;
  std::string english;
};

class FactoryRow : public ::testing::TestWithParam<FactoryCase> {};

TEST_P(FactoryRow, GivesTheRowsTextCodeAndEnglishAndReadsBack) {
  const FactoryCase& c = GetParam();
  EXPECT_EQ(c.error.id(), c.id);
  EXPECT_EQ(c.error.kind(), error_spec(c.id).kind);
  EXPECT_EQ(c.error.display(), c.text);
  EXPECT_EQ(c.error.code(), c.code);
  EXPECT_EQ(c.error.english(), c.english);

  const auto match = match_error(c.text, error_spec(c.id).raised_as);
  ASSERT_TRUE(match.has_value()) << c.text;
  EXPECT_EQ(match->id(), c.id);
  EXPECT_EQ(match->text(), c.text);
  EXPECT_EQ(match->code(), c.code);
  EXPECT_EQ(match->english(), c.english);
}

const std::string kReport2d = " --> 1:3\n  |\n1 | 2d\n  |   ^---\n  |\n  = expected dice_sides";

const FactoryCase kFactoryCases[] = {
    {"syntax", DiceError::syntax_error(kReport2d), ErrorId::ParseSyntax, "解析错误: " + kReport2d,
     "parse.syntax",
     "syntax error at line 1, column 3: expected a number of sides after d\n2d\n  ^"},
    {"number", DiceError::parse_error("无效数字"), ErrorId::ParseNumber, "解析错误: 无效数字",
     "parse.number",
     "a number is out of range: numbers go from -9223372036854775808 to 9223372036854775807"},
    {"dice_count", DiceError::of(ErrorId::ParseDiceCount), ErrorId::ParseDiceCount,
     "解析错误: 无效的骰子数量", "parse.dice_count",
     "the number of dice is out of range: a roll has at most 2147483647 dice"},
    {"dice_sides", DiceError::of(ErrorId::ParseDiceSides), ErrorId::ParseDiceSides,
     "解析错误: 无效的骰子面数", "parse.dice_sides",
     "the number of sides is out of range: a die has at most 2147483647 sides"},
    {"explode_keep_high", DiceError::parse_error("无效的ExplodeKeepHigh数值"),
     ErrorId::ParseExplodeKeepHighValue, "解析错误: 无效的ExplodeKeepHigh数值",
     "parse.explode_keep_high_value",
     "the number after K (explode and keep highest) is out of range: it must be from "
     "-2147483648 to 2147483647"},
    {"reroll", DiceError::parse_error("无效的重投数值"), ErrorId::ParseRerollValue,
     "解析错误: 无效的重投数值", "parse.reroll_value",
     "the number after r (reroll) is out of range: it must be from -2147483648 to 2147483647"},
    {"reroll_once", DiceError::parse_error("无效的条件重投数值"), ErrorId::ParseRerollOnceValue,
     "解析错误: 无效的条件重投数值", "parse.reroll_once_value",
     "the number after ro (reroll once) is out of range: it must be from -2147483648 to "
     "2147483647"},
    {"reroll_until", DiceError::parse_error("无效的直到重投数值"), ErrorId::ParseRerollUntilValue,
     "解析错误: 无效的直到重投数值", "parse.reroll_until_value",
     "the number after R (reroll until) is out of range: it must be from -2147483648 to "
     "2147483647"},
    {"reroll_add", DiceError::parse_error("无效的重投并相加数值"), ErrorId::ParseRerollAddValue,
     "解析错误: 无效的重投并相加数值", "parse.reroll_add_value",
     "the number after a (reroll and add) is out of range: it must be from -2147483648 to "
     "2147483647"},
    {"keep_high", DiceError::parse_error("无效的取高数值"), ErrorId::ParseKeepHighValue,
     "解析错误: 无效的取高数值", "parse.keep_high_value",
     "the number after k or kh (keep highest) is out of range: it must be from -2147483648 to "
     "2147483647"},
    {"keep_low", DiceError::parse_error("无效的取低数值"), ErrorId::ParseKeepLowValue,
     "解析错误: 无效的取低数值", "parse.keep_low_value",
     "the number after kl (keep lowest) is out of range: it must be from -2147483648 to "
     "2147483647"},
    {"drop_high", DiceError::parse_error("无效的丢弃高数值"), ErrorId::ParseDropHighValue,
     "解析错误: 无效的丢弃高数值", "parse.drop_high_value",
     "the number after dh (drop highest) is out of range: it must be from -2147483648 to "
     "2147483647"},
    {"drop_low", DiceError::parse_error("无效的丢弃低数值"), ErrorId::ParseDropLowValue,
     "解析错误: 无效的丢弃低数值", "parse.drop_low_value",
     "the number after dl (drop lowest) is out of range: it must be from -2147483648 to "
     "2147483647"},
    {"count", DiceError::parse_error("无效的计数数值"), ErrorId::ParseCountValue,
     "解析错误: 无效的计数数值", "parse.count_value",
     "the number after c (count) is out of range: it must be from -2147483648 to 2147483647"},
    {"one_instruction", DiceError::of(ErrorId::ParseOneInstruction), ErrorId::ParseOneInstruction,
     "解析错误: roll() 只接受一条指令；多条指令请使用 run()", "parse.one_instruction",
     "roll() takes exactly one instruction; use run() for a program of several"},
    {"not_positive", DiceError::invalid_dice_expression("骰子数量和面数必须大于0"),
     ErrorId::DiceNotPositive, "无效的骰子表达式: 骰子数量和面数必须大于0", "dice.not_positive",
     "invalid dice: the number of dice and the number of sides must both be at least 1"},
    {"overflow", DiceError::arithmetic_overflow("reroll-and-add aggregation"),
     ErrorId::ArithmeticOverflow,
     "[arithmetic.overflow] checked i64 overflow during reroll-and-add aggregation",
     "arithmetic.overflow",
     "arithmetic overflow during reroll-and-add aggregation: the result leaves the signed "
     "64-bit range"},
    {"divide_by_zero", DiceError::division_by_zero(), ErrorId::DivideByZero,
     "[arithmetic.divide_by_zero] 除零错误", "arithmetic.divide_by_zero", "division by zero"},
    {"invalid_exponent", DiceError::invalid_exponent(INT64_MIN), ErrorId::InvalidExponent,
     "[arithmetic.invalid_exponent] exponent -9223372036854775808 must fit unsigned 32-bit range",
     "arithmetic.invalid_exponent",
     "invalid exponent -9223372036854775808: an exponent must be from 0 to 4294967295"},
    {"entropy", DiceError::entropy_unavailable("OS Error: 38"), ErrorId::EntropyUnavailable,
     "[random.entropy_unavailable] operating-system entropy is unavailable: OS Error: 38",
     "random.entropy_unavailable", "the operating system gave no random bytes: OS Error: 38"},
    {"parsed_instructions", DiceError::instruction_limit_exceeded(1000),
     ErrorId::ParsedInstructions, "[limit.parsed_instructions] 程序指令数量超过限制: 最多 1000 条",
     "limit.parsed_instructions",
     "limit reached: a program has at most 1000 instructions (parsed_instructions)"},
    {"generated_values", DiceError::generated_values_exceeded(10000, 1, 10000),
     ErrorId::GeneratedValues,
     "[limit.generated_values] 计算预算已耗尽: 最多生成 10000 个骰子结果; used 10000, requested 1",
     "limit.generated_values",
     "limit reached: at most 10000 faces are rolled (generated_values); used 10000, requested 1"},
    {"budget", DiceError::budget_exceeded("work_units", 6, 6, 10), ErrorId::BudgetExceeded,
     "[limit.work_units] 计算预算已耗尽: used 6, requested 6, limit 10", "limit.work_units",
     "limit reached: work_units used 6, requested 6, limit 10"},
    {"budget_max", DiceError::budget_exceeded("batch_samples", UINT64_MAX, UINT64_MAX, UINT64_MAX),
     ErrorId::BudgetExceeded,
     "[limit.batch_samples] 计算预算已耗尽: used 18446744073709551615, requested "
     "18446744073709551615, limit 18446744073709551615",
     "limit.batch_samples",
     "limit reached: batch_samples used 18446744073709551615, requested 18446744073709551615, "
     "limit 18446744073709551615"},
    {"unknown_limit", DiceError::unknown_limit("WORK_UNITS"), ErrorId::UnknownLimit,
     "[policy.invalid_limit] unknown resource limit: WORK_UNITS", "policy.invalid_limit",
     "there is no resource limit named 'WORK_UNITS'"},
    {"unknown_empty", DiceError::unknown_limit(""), ErrorId::UnknownLimit,
     "[policy.invalid_limit] unknown resource limit: ", "policy.invalid_limit",
     "there is no resource limit named ''"},
    {"negative_limit", DiceError::negative_limit("work_units"), ErrorId::NegativeLimit,
     "[policy.invalid_limit] work_units limit must be non-negative", "policy.invalid_limit",
     "the work_units limit must not be negative"},
    {"above_hard_max", DiceError::limit_above_hard_max("ast_nodes", 65537, 65536),
     ErrorId::LimitAboveHardMax,
     "[policy.limit_above_hard_max] ast_nodes limit 65537 exceeds hard maximum 65536",
     "policy.limit_above_hard_max", "the ast_nodes limit 65537 is above its hard maximum 65536"},
    {"modifier_unknown", DiceError::invalid_modifier("未知的修饰符"), ErrorId::ModifierUnknown,
     "未知的修饰符", "modifier.unknown",
     "unknown modifier: a modifier string is !, or r, ro, kh, kl, dh or dl followed by a number"},
    {"modifier_reroll", DiceError::invalid_modifier("无效的重投数值"), ErrorId::ModifierRerollValue,
     "无效的重投数值", "modifier.reroll_value",
     "r (reroll) needs a whole number from -2147483648 to 2147483647 after it, like r1"},
    {"modifier_reroll_once", DiceError::of(ErrorId::ModifierRerollOnceValue),
     ErrorId::ModifierRerollOnceValue, "无效的条件重投数值", "modifier.reroll_once_value",
     "ro (reroll once) needs a whole number from -2147483648 to 2147483647 after it, like ro1"},
    {"modifier_keep_high", DiceError::invalid_modifier("无效的取高数值"),
     ErrorId::ModifierKeepHighValue, "无效的取高数值", "modifier.keep_high_value",
     "kh (keep highest) needs a whole number from -2147483648 to 2147483647 after it, like kh3"},
    {"modifier_keep_low", DiceError::of(ErrorId::ModifierKeepLowValue),
     ErrorId::ModifierKeepLowValue, "无效的取低数值", "modifier.keep_low_value",
     "kl (keep lowest) needs a whole number from -2147483648 to 2147483647 after it, like kl1"},
    {"modifier_drop_high", DiceError::of(ErrorId::ModifierDropHighValue),
     ErrorId::ModifierDropHighValue, "无效的丢弃高数值", "modifier.drop_high_value",
     "dh (drop highest) needs a whole number from -2147483648 to 2147483647 after it, like dh1"},
    {"modifier_drop_low", DiceError::of(ErrorId::ModifierDropLowValue),
     ErrorId::ModifierDropLowValue, "无效的丢弃低数值", "modifier.drop_low_value",
     "dl (drop lowest) needs a whole number from -2147483648 to 2147483647 after it, like dl1"},
    {"replay_too_many", DiceError::of(ErrorId::ReplayTooMany, {.requested = 10001, .limit = 10000}),
     ErrorId::ReplayTooMany,
     "10001 faces are more than any roll can draw under the generated_values limit of 10000",
     "replay.too_many",
     "10001 faces are more than any roll can draw under the generated_values limit of 10000"},
    {"replay_not_an_int", DiceError::of(ErrorId::ReplayNotAnInt, {.message = "str", .used = 1}),
     ErrorId::ReplayNotAnInt, "face 1 is a 'str', not an int", "replay.not_an_int",
     "face 1 is a 'str', not an int"},
    {"replay_not_a_face", DiceError::of(ErrorId::ReplayNotAFace, {.used = 3, .exponent = -5}),
     ErrorId::ReplayNotAFace,
     "face 3 (-5) is not a face of any die: faces are from 1 to 2147483647", "replay.not_a_face",
     "face 3 (-5) is not a face of any die: faces are from 1 to 2147483647"},
    {"replay_too_large", DiceError::of(ErrorId::ReplayTooLarge, {.used = 2}),
     ErrorId::ReplayTooLarge,
     "face 2 (too large) is not a face of any die: faces are from 1 to 2147483647",
     "replay.not_a_face",
     "face 2 (too large) is not a face of any die: faces are from 1 to 2147483647"},
    {"replay_out_of_range", DiceError::replay_face_out_of_range(2, 7, 6), ErrorId::ReplayOutOfRange,
     "face 2 (7) is not a face of a die with 6 sides: it must be from 1 to 6",
     "replay.face_out_of_range",
     "face 2 (7) is not a face of a die with 6 sides: it must be from 1 to 6"},
    {"replay_too_few", DiceError::replay_too_few(1), ErrorId::ReplayTooFew,
     "the expression draws more faces than the 1 given", "replay.too_few",
     "the expression draws more faces than the 1 given"},
    {"replay_left_over", DiceError::replay_left_over(2, 3, 1), ErrorId::ReplayLeftOver,
     "2 of the 3 faces left over: the expression draws only 1", "replay.left_over",
     "2 of the 3 faces left over: the expression draws only 1"},
    {"odds_work", DiceError::odds_work(400000000), ErrorId::OddsWork,
     "[odds.too_complex] the odds need more than 400000000 steps of work (max_work)",
     "odds.too_complex",
     "too complex to compute: the odds need more than 400000000 steps of work (max_work)"},
    {"odds_outcomes", DiceError::odds_outcomes("a sum", 1000001, 1000000), ErrorId::OddsOutcomes,
     "[odds.too_complex] a sum has 1000001 outcomes, more than 1000000 (max_outcomes)",
     "odds.too_complex",
     "too complex to compute: a sum has 1000001 outcomes, more than 1000000 (max_outcomes)"},
    {"odds_cells", DiceError::odds_cells(12000000, 12), ErrorId::OddsCells,
     "[odds.too_complex] the odds need more than 12000000 probabilities stored at once (12 "
     "times max_outcomes)",
     "odds.too_complex",
     "too complex to compute: the odds need more than 12000000 probabilities stored at once (12 "
     "times max_outcomes)"},
    {"odds_too_complex", DiceError::odds_too_complex("a pool total leaves the 64-bit range"),
     ErrorId::OddsTooComplex, "[odds.too_complex] a pool total leaves the 64-bit range",
     "odds.too_complex", "too complex to compute: a pool total leaves the 64-bit range"},
    {"odds_explodes", DiceError::odds_explodes_forever("1d1!"), ErrorId::OddsExplodesForever,
     "[odds.endless] 1d1! never ends: a one-sided die explodes on every face", "odds.endless",
     "1d1! never ends: a one-sided die explodes on every face"},
    {"odds_rerolls", DiceError::odds_rerolls_forever("4d6R6", 6, 6), ErrorId::OddsRerollsForever,
     "[odds.endless] 4d6R6 can reroll without end: R6 matches every face of a d6", "odds.endless",
     "4d6R6 can reroll without end: R6 matches every face of a d6"},
    {"odds_program", DiceError::odds_program(2), ErrorId::OddsProgram,
     "[odds.program] odds() takes one expression, not a program of 2 instructions; ask for each "
     "instruction on its own",
     "odds.program",
     "odds() takes one expression, not a program of 2 instructions; ask for each instruction on "
     "its own"},
};

INSTANTIATE_TEST_SUITE_P(EveryCoreRow, FactoryRow, ::testing::ValuesIn(kFactoryCases),
                         [](const auto& info) { return std::string(info.param.label); });

// A row whose fields all have slots can be a DiceError: every such row has a case above.
TEST(FactoryRow, EveryRowADiceErrorCanCarryHasACase) {
  std::set<ErrorId> covered;
  for (const FactoryCase& c : kFactoryCases) covered.insert(c.id);
  for (const ErrorSpec& spec : kErrors) {
    if (spec.kind == DiceErrorKind::Binding) continue;
    bool slotted = true;
    std::string_view rest = spec.text;
    for (std::size_t open = rest.find('{'); open != std::string_view::npos; open = rest.find('{')) {
      const std::size_t close = rest.find('}', open);
      slotted = slotted &&
                find_error_field(rest.substr(open + 1, close - open - 1))->slot != FieldSlot::None;
      rest.remove_prefix(close + 1);
    }
    if (slotted) {
      EXPECT_TRUE(covered.contains(spec.id)) << spec.key;
    }
  }
}

// --- the rows built outside DiceError: fields -> text, English -> matched back ---

struct FieldCase {
  ErrorId id;
  std::vector<ErrorField> fields;
  std::string text;
  std::string english;
};

class FieldRow : public ::testing::TestWithParam<FieldCase> {};

TEST_P(FieldRow, GivesTheRowsTextAndEnglishAndReadsBack) {
  const FieldCase& c = GetParam();
  EXPECT_EQ(error_text(c.id, c.fields), c.text);
  EXPECT_EQ(error_english(c.id, c.fields), c.english);
  const auto match = match_error(c.text, error_spec(c.id).raised_as);
  ASSERT_TRUE(match.has_value()) << c.text;
  EXPECT_EQ(match->id(), c.id) << c.text;
  ASSERT_EQ(match->fields().size(), c.fields.size());
  for (std::size_t i = 0; i < c.fields.size(); ++i) {
    EXPECT_EQ(match->fields()[i].name, c.fields[i].name);
    EXPECT_EQ(match->fields()[i].value, c.fields[i].value);
  }
  EXPECT_EQ(match->code(), error_spec(c.id).code);
}

INSTANTIATE_TEST_SUITE_P(
    BindingAndPackageRows, FieldRow,
    ::testing::Values(
        FieldCase{ErrorId::OddsTolerance,
                  {{"got", "1.5"}},
                  "[odds.invalid_argument] tolerance must lie strictly between 0 and 1: got 1.5",
                  "tolerance must lie strictly between 0 and 1: got 1.5"},
        FieldCase{ErrorId::OddsCountArgument,
                  {{"argument", "max_work"}, {"got", "0"}},
                  "[odds.invalid_argument] max_work must lie between 1 and 18446744073709551615: "
                  "got 0",
                  "max_work must lie between 1 and 18446744073709551615: got 0"},
        FieldCase{ErrorId::ArgumentTooMany,
                  {{"function", "roll_simple()"}, {"count", "2"}, {"given", "3"}, {"were", "were"}},
                  "roll_simple() takes 2 positional arguments but 3 were given",
                  "roll_simple() takes 2 positional arguments but 3 were given"},
        FieldCase{ErrorId::ArgumentTooManyRange,
                  {{"function", "Kavelo.__new__()"},
                   {"required", "0"},
                   {"count", "1"},
                   {"given", "2"},
                   {"were", "were"}},
                  "Kavelo.__new__() takes from 0 to 1 positional arguments but 2 were given",
                  "Kavelo.__new__() takes from 0 to 1 positional arguments but 2 were given"},
        FieldCase{ErrorId::ArgumentNoArguments,
                  {{"function", "ResourcePolicy.limits()"}, {"given", "1"}},
                  "ResourcePolicy.limits() takes no arguments (1 given)",
                  "ResourcePolicy.limits() takes no arguments (1 given)"},
        FieldCase{ErrorId::ArgumentUnexpectedKeyword,
                  {{"function", "roll_simple()"}, {"keyword", "sides"}},
                  "roll_simple() got an unexpected keyword argument 'sides'",
                  "roll_simple() got an unexpected keyword argument 'sides'"},
        FieldCase{ErrorId::ArgumentDuplicate,
                  {{"function", "roll_simple()"}, {"argument", "dice_count"}},
                  "roll_simple() got multiple values for argument 'dice_count'",
                  "roll_simple() got multiple values for argument 'dice_count'"},
        FieldCase{ErrorId::ArgumentMissing,
                  {{"function", "roll_simple()"},
                   {"count", "2"},
                   {"noun", "arguments"},
                   {"names", "'dice_count' and 'dice_sides'"}},
                  "roll_simple() missing 2 required positional arguments: 'dice_count' and "
                  "'dice_sides'",
                  "roll_simple() missing 2 required positional arguments: 'dice_count' and "
                  "'dice_sides'"},
        FieldCase{ErrorId::ArgumentConversion,
                  {{"argument", "faces"}, {"type", "set"}, {"target", "list of faces"}},
                  "argument 'faces': 'set' object cannot be converted to 'list of faces'",
                  "argument 'faces' cannot take a value of type 'set': it needs a list of faces"},
        FieldCase{ErrorId::ReceiverConversion,
                  {{"type", "int"}, {"target", "Kavelo"}},
                  "'int' object cannot be converted to 'Kavelo'",
                  "a value of type 'int' is not a Kavelo"},
        FieldCase{ErrorId::ArgumentDescriptor,
                  {{"method", "roll"}, {"owner", "builtins.Kavelo"}, {"type", "int"}},
                  "descriptor 'roll' for 'builtins.Kavelo' objects doesn't apply to a 'int' object",
                  "roll is a method of builtins.Kavelo and cannot be called on a value of type "
                  "'int'"},
        FieldCase{ErrorId::ArgumentNotAnInteger,
                  {{"argument", "limit"}, {"type", "str"}},
                  "argument 'limit': 'str' object cannot be interpreted as an integer",
                  "argument 'limit' must be a whole number, not a value of type 'str'"},
        FieldCase{ErrorId::ArgumentNotANumber,
                  {{"argument", "tolerance"}, {"type", "str"}},
                  "argument 'tolerance': must be a real number, not 'str'",
                  "argument 'tolerance' must be a real number, not a value of type 'str'"},
        FieldCase{ErrorId::ArgumentNotAPolicy,
                  {{"argument", "policy"}, {"type", "int"}},
                  "argument 'policy': 'int' object is not a ResourcePolicy",
                  "argument 'policy' must be a ResourcePolicy, not a value of type 'int'"},
        FieldCase{ErrorId::ArgumentStrNotList,
                  {{"argument", "modifiers"}},
                  "argument 'modifiers': Can't extract `str` to `Vec`",
                  "argument 'modifiers' must be a list of strings, not one str"},
        FieldCase{ErrorId::ArgumentLimitsDict,
                  {},
                  "limits must be None or a dict of limits",
                  "limits must be None or a dict of limits"},
        FieldCase{ErrorId::ArgumentNotIterable,
                  {{"type", "int"}},
                  "'int' object is not iterable",
                  "a value of type 'int' is not a sequence of values"},
        FieldCase{ErrorId::ArgumentOther,
                  {{"argument", "modifiers"}, {"message", "boom"}},
                  "argument 'modifiers': boom",
                  "argument 'modifiers': boom"},
        FieldCase{ErrorId::ArgumentOutOfRange,
                  {},
                  "out of range integral type conversion attempted",
                  "a number of dice or sides is out of range: it must be from -2147483648 to "
                  "2147483647"},
        FieldCase{ErrorId::ArgumentOverflow,
                  {{"message", "Python int too large to convert to C long"}},
                  "Python int too large to convert to C long",
                  "a number is out of range: Python int too large to convert to C long"},
        FieldCase{ErrorId::RollerBusy,
                  {},
                  "Already borrowed",
                  "the roller is busy with a call that has not finished"},
        FieldCase{ErrorId::ModuleInitializedTwice,
                  {},
                  "kavelo._core may only be initialized once per interpreter process",
                  "kavelo._core may only be initialized once per interpreter process"},
        FieldCase{ErrorId::InputEncoding,
                  {{"message",
                    "'utf-8' codec can't encode character '\\udcff' in position 0: "
                    "surrogates not allowed"}},
                  "'utf-8' codec can't encode character '\\udcff' in position 0: surrogates not "
                  "allowed",
                  "the text is not valid Unicode: 'utf-8' codec can't encode character "
                  "'\\udcff' in position 0: surrogates not allowed"},
        FieldCase{ErrorId::InputMemory, {{"message", ""}}, "", "out of memory"},
        FieldCase{ErrorId::InternalFault,
                  {{"message", "registered resource limit"}},
                  "registered resource limit",
                  "internal fault of kavelo (a bug, not your input): registered resource "
                  "limit"}));

// --- every row: its template filled with typical values of each field's type, read back ---

std::string_view typical_value(FieldType type) {
  switch (type) {
    case FieldType::Count: return "42";
    case FieldType::Integer: return "-7";
    case FieldType::Resource: return "rng_words";
    case FieldType::Identifier: return "Kavelo.roll()";
    case FieldType::Words: return "list of faces";
    case FieldType::Text: return "it's {odd}: (a, b) 'c' \n d";
    case FieldType::Report: return kReport2d;
  }
  return {};
}

std::vector<ErrorField> typical_fields(const ErrorSpec& spec) {
  std::vector<ErrorField> fields;
  std::string_view rest = spec.text;
  for (std::size_t open = rest.find('{'); open != std::string_view::npos; open = rest.find('{')) {
    const std::size_t close = rest.find('}', open);
    const std::string_view name = rest.substr(open + 1, close - open - 1);
    bool listed = false;
    for (const ErrorField& f : fields) listed = listed || f.name == name;
    if (!listed) fields.push_back({name, typical_value(find_error_field(name)->type)});
    rest.remove_prefix(close + 1);
  }
  return fields;
}

TEST(EveryRow, ReadsBackToItselfWithItsFields) {
  for (const ErrorSpec& spec : kErrors) {
    const std::vector<ErrorField> fields = typical_fields(spec);
    const std::string text = error_text(spec.id, fields);
    const auto match = match_error(text, spec.raised_as);
    ASSERT_TRUE(match.has_value()) << spec.key << ": " << text;
    EXPECT_EQ(match->id(), spec.id) << spec.key << " is read as " << match->spec().key;
    EXPECT_EQ(match->text(), text) << spec.key;
    EXPECT_EQ(match->english(), error_english(spec.id, fields)) << spec.key;
    ASSERT_EQ(match->fields().size(), fields.size()) << spec.key;
    for (std::size_t i = 0; i < fields.size(); ++i) {
      EXPECT_EQ(match->fields()[i].name, fields[i].name) << spec.key;
      EXPECT_EQ(match->fields()[i].value, fields[i].value) << spec.key;
    }
  }
}

TEST(EveryRow, HasAUniqueKeyAndACodeOfLowerCaseDottedWords) {
  std::set<std::string_view> keys;
  for (const ErrorSpec& spec : kErrors) {
    EXPECT_TRUE(keys.insert(spec.key).second) << spec.key;
    for (const std::string_view name : {spec.key, spec.code}) {
      const std::size_t dot = name.find('.');
      ASSERT_NE(dot, std::string_view::npos) << name;
      for (const char c : name) {
        EXPECT_TRUE((c >= 'a' && c <= 'z') || c == '_' || c == '.' || c == '{' || c == '}') << name;
      }
    }
  }
}

// --- reading texts back: what must not fit, and where a text is ambiguous ---

TEST(MatchError, RefusesTextsThatNoRowProduces) {
  for (const std::string_view text : {
           "",
           "解析错误: ",
           "解析错误: 无效数字 ",
           "解析错误:  --> 1:3\n  |\n1 | 2d\n  |   ^---\n  |\n  = expected nothing_known",
           "解析错误:  --> 1:3\n  |\n1 | 2d\n  |   ^---\n  |",
           "[limit.no_such_limit] 计算预算已耗尽: used 1, requested 1, limit 1",
           "[limit.work_units] 计算预算已耗尽: used 1, requested -1, limit 1",
           "[limit.work_units] 计算预算已耗尽: used , requested 1, limit 1",
           "[arithmetic.invalid_exponent] exponent - must fit unsigned 32-bit range",
           "face 2 (7) is not a face of a die with 6 sides: it must be from 1 to 7",
           "Already borrowed",  // a RuntimeError's text, not a ValueError's
       }) {
    EXPECT_FALSE(match_error(text).has_value()) << text;
  }
  EXPECT_TRUE(match_error("Already borrowed", ErrorClass::RuntimeError).has_value());
  EXPECT_FALSE(match_error("Already borrowed ", ErrorClass::RuntimeError).has_value());
}

TEST(MatchError, ReadsGreatLengthsInOnePass) {
  // Texts that would make a backtracking reader quadratic: one free field and many
  // near-matches of the literal after it.
  std::string many;
  while (many.size() < (1 << 20)) many += " has 1 outcomes, more than 2 (max_outcomes)x";
  const auto outcomes = match_error("[odds.too_complex] " + many);
  ASSERT_TRUE(outcomes.has_value());
  EXPECT_EQ(outcomes->id(), ErrorId::OddsTooComplex);
  const std::string report_like = "解析错误: " + std::string(1 << 20, '\n');
  EXPECT_FALSE(match_error(report_like).has_value());
}

TEST(MatchError, NamesTheUnknownLimitWhereANegativeLimitsTextIsTheSame) {
  // with_limit("unknown resource limit: x", -1) and with_limit("x limit must be
  // non-negative", 0) give the same text; the unknown name's row comes first.
  const std::string text =
      "[policy.invalid_limit] unknown resource limit: x limit must be non-negative";
  EXPECT_EQ(DiceError::negative_limit("unknown resource limit: x").display(), text);
  EXPECT_EQ(DiceError::unknown_limit("x limit must be non-negative").display(), text);
  const auto match = match_error(text);
  ASSERT_TRUE(match.has_value());
  EXPECT_EQ(match->id(), ErrorId::UnknownLimit);
  EXPECT_EQ(match->field("name"), "x limit must be non-negative");
  EXPECT_TRUE(match_error_row(ErrorId::NegativeLimit, text).has_value());
}

// --- factories that take a message find its row ---

TEST(MessageFactories, FindTheRowOfTheirMessage) {
  EXPECT_EQ(DiceError::parse_error("无效的骰子面数").id(), ErrorId::ParseDiceSides);
  EXPECT_EQ(DiceError::parse_error(kReport2d).id(), ErrorId::ParseSyntax);
  EXPECT_EQ(DiceError::parse_error(kReport2d), DiceError::syntax_error(kReport2d));
  EXPECT_EQ(DiceError::of(ErrorId::ParseNumber).message(), "无效数字");
  EXPECT_EQ(DiceError::of(ErrorId::DiceNotPositive).message(), "骰子数量和面数必须大于0");
  EXPECT_EQ(DiceError::of(ErrorId::ModifierUnknown).name(), "未知的修饰符");
  EXPECT_THROW((void)DiceError::invalid_dice_expression("nothing of the kind"),
               std::invalid_argument);
  EXPECT_THROW((void)DiceError::invalid_modifier("无效数字"), std::invalid_argument);
}

TEST(LimitCodes, NameEveryResource) {
  for (const std::string_view code : kLimitCodes) {
    const std::string name(code.substr(kLimitCodePrefix.size()));
    EXPECT_EQ(DiceError::budget_exceeded(name.c_str(), 0, 1, 0).code(), code);
  }
  // A name that is no resource's (never raised) keeps the row's code.
  EXPECT_EQ(DiceError::budget_exceeded("no_such_limit", 0, 1, 0).code(), "limit.{resource}");
}

// --- syntax reports: read back from their text, and in English ---

const char* const kBadTexts[] = {
    "2d",        "2d6 x", "007",         "(2d6 x",
    "2d6k",      "4d6kh", "2d6+",        "x",
    "",          "d6",    "-(1d6)",      "1d6;",
    "2D6",       "2d6e5", "1d6\n2d6",    "1d6\r\n\r\n  +",
    "\t\t2d6 x", "2d\n",  "1d6 # ok\n+", "1;\n2;\n3;\n4;\n5;\n6;\n7;\n8;\n9;\n10;\n1d6 )",
    "1d6\r+",    "2d6 ☃", "((((",        "1d6kh1kl",
    "3d6!!e k",
};

TEST(SyntaxReports, ReadBackFromTheirText) {
  for (const std::string_view source : kBadTexts) {
    const auto parsed = grammar::parse(grammar::Rule::Program, source);
    ASSERT_FALSE(parsed.has_value()) << source;
    const grammar::SyntaxErrorReport& report = parsed.error();
    const std::string text = grammar::render_syntax_error(report);
    const auto read = read_syntax_report(text);
    ASSERT_TRUE(read.has_value()) << text;
    EXPECT_EQ(read->line, report.line) << text;
    EXPECT_EQ(read->column, report.column) << text;
    EXPECT_EQ(read->caret, report.caret) << text;
    EXPECT_EQ(read->line_text, report.line_text) << text;
    ASSERT_EQ(read->expected_count, report.expected.size()) << text;
    for (std::size_t i = 0; i < report.expected.size(); ++i) {
      EXPECT_EQ(read->expected[i], grammar::rule_name(report.expected[i])) << text;
    }
    // Through the parser's error and the matcher, the same.
    const auto error = DiceParser::parse_program_with_policy(source, ResourcePolicy());
    ASSERT_FALSE(error.has_value());
    EXPECT_EQ(error.error().id(), ErrorId::ParseSyntax);
    const std::string shown = error.error().display();
    const auto match = match_error(shown);
    ASSERT_TRUE(match.has_value());
    EXPECT_EQ(match->id(), ErrorId::ParseSyntax);
    EXPECT_EQ(match->english(), error.error().english());
  }
}

TEST(SyntaxReports, RefuseOtherLayouts) {
  const std::string good = kReport2d;
  ASSERT_TRUE(read_syntax_report(good).has_value());
  for (const std::string_view bad : {
           " --> 1:3\n  |\n1 | 2d\n  |   ^---\n  |\n  = expected dice_sides\n",
           "  --> 1:3\n  |\n1 | 2d\n  |   ^---\n  |\n  = expected dice_sides",
           " --> 01:3\n  |\n1 | 2d\n  |   ^---\n  |\n  = expected dice_sides",
           " --> 1:0\n  |\n1 | 2d\n  |   ^---\n  |\n  = expected dice_sides",
           " --> 1:3\n  |\n2 | 2d\n  |   ^---\n  |\n  = expected dice_sides",
           " --> 1:3\n  |\n1 | 2d\n  |  x^---\n  |\n  = expected dice_sides",
           " --> 1:3\n  |\n1 | 2d\n  |   ^--\n  |\n  = expected dice_sides",
           " --> 1:3\n  |\n1 | 2d\n  |   ^---\n  |\n  = expected dice_sides or",
           " --> 1:3\n  |\n1 | 2d\n  |   ^---\n  |\n  = expected EOI, op",
           " --> 1:3\n  |\n1 | 2d\n  |   ^---\n  |\n  = expected EOI, , or op",
           " --> 99999999999:3\n           |\n99999999999 | 2d\n           |   ^---\n           |\n"
           "           = expected dice_sides",
       }) {
    EXPECT_FALSE(read_syntax_report(bad).has_value()) << bad;
  }
}

TEST(SyntaxReports, SayWhatWasExpectedInPlayerWords) {
  const auto error = DiceParser::parse_expression_with_policy("2d6 x", ResourcePolicy());
  ASSERT_FALSE(error.has_value());
  EXPECT_EQ(error.error().code(), "parse.syntax");
  EXPECT_EQ(error.error().english(),
            "syntax error at line 1, column 5: expected the end of the text, a comment after #, a "
            "modifier like kh3, or an operator (+ - * / ^)\n2d6 x\n    ^");
  // Tabs before the failing character stay tabs under it; two rules are joined by "or".
  const auto tabbed = DiceParser::parse_expression_with_policy("\t(2d6 x", ResourcePolicy());
  ASSERT_FALSE(tabbed.has_value());
  EXPECT_EQ(tabbed.error().english(),
            "syntax error at line 1, column 7: expected a modifier like kh3 or an operator (+ - * "
            "/ ^)\n\t(2d6 x\n\t     ^");
  // A hand-made parse error that is no report's layout keeps its text.
  EXPECT_EQ(DiceError::parse_error("garbled").english(), "syntax error:\ngarbled");
}

}  // namespace
}  // namespace kavelo
