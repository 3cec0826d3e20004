// Every error kavelo can report, one row each: its exact text, its stable code and its
// English text. DiceError's factories, display(), code() and english(), the binding
// layer's argument messages, the odds' and replays' texts, and the matcher that reads
// a text back to its row (error_text.hpp) all read this table, so an error is added or
// reworded here and nowhere else.
//
// Texts and English texts are templates: a field in braces, such as {used}, stands for
// a value that the error carries. kErrorFields says what each field holds and how it is
// written; error_text.cpp checks every template at compile time (known fields, at most
// one free text field per text, and so on), so a malformed row stops the build.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kavelo {

// The coarse kinds of errors. The first thirteen are the core's own; the last three
// are the replay, the odds and the Python binding layer (whose texts the table holds
// but which no core operation returns as a DiceError).
enum class DiceErrorKind : std::uint8_t {
  ParseError,
  ArithmeticOverflow,
  DivisionByZero,
  InvalidExponent,
  EntropyUnavailable,
  InvalidDiceExpression,
  InstructionLimitExceeded,
  BudgetExceeded,
  GeneratedValuesExceeded,
  UnknownLimit,
  LimitAboveHardMax,
  InvalidModifier,
  NegativeLimit,
  ReplayFault,
  OddsRefused,
  Binding,
};

// The exception a text reaches Python in.
enum class ErrorClass : std::uint8_t {
  ValueError,
  TypeError,
  OverflowError,
  RuntimeError,
  ImportError,
  UnicodeEncodeError,
  MemoryError,
  InternalFault,
};

inline constexpr auto kErrorClassNames = std::to_array<std::string_view>({
    "ValueError",
    "TypeError",
    "OverflowError",
    "RuntimeError",
    "ImportError",
    "UnicodeEncodeError",
    "MemoryError",
    "InternalFault",
});

// One row per error, in the order of the table below.
enum class ErrorId : std::uint8_t {
  ParseSyntax,
  ParseNumber,
  ParseDiceCount,
  ParseDiceSides,
  ParseExplodeKeepHighValue,
  ParseRerollValue,
  ParseRerollOnceValue,
  ParseRerollUntilValue,
  ParseRerollAddValue,
  ParseKeepHighValue,
  ParseKeepLowValue,
  ParseDropHighValue,
  ParseDropLowValue,
  ParseCountValue,
  ParseOneInstruction,
  DiceNotPositive,
  ArithmeticOverflow,
  DivideByZero,
  InvalidExponent,
  EntropyUnavailable,
  ParsedInstructions,
  GeneratedValues,
  BudgetExceeded,
  UnknownLimit,
  NegativeLimit,
  LimitAboveHardMax,
  ModifierUnknown,
  ModifierRerollValue,
  ModifierRerollOnceValue,
  ModifierKeepHighValue,
  ModifierKeepLowValue,
  ModifierDropHighValue,
  ModifierDropLowValue,
  ReplayTooMany,
  ReplayNotAnInt,
  ReplayNotAFace,
  ReplayTooLarge,
  ReplayOutOfRange,
  ReplayTooFew,
  ReplayLeftOver,
  OddsWork,
  OddsOutcomes,
  OddsCells,
  OddsTooComplex,
  OddsExplodesForever,
  OddsRerollsForever,
  OddsProgram,
  OddsTolerance,
  OddsCountArgument,
  ArgumentTooMany,
  ArgumentTooManyRange,
  ArgumentNoArguments,
  ArgumentUnexpectedKeyword,
  ArgumentDuplicate,
  ArgumentMissing,
  ArgumentConversion,
  ReceiverConversion,
  ArgumentDescriptor,
  ArgumentNotAnInteger,
  ArgumentNotANumber,
  ArgumentNotAPolicy,
  ArgumentStrNotList,
  ArgumentLimitsDict,
  ArgumentNotIterable,
  ArgumentOther,
  ArgumentOutOfRange,
  ArgumentOverflow,
  RollerBusy,
  ModuleInitializedTwice,
  InputEncoding,
  InputMemory,
  InternalFault,
};

inline constexpr std::size_t kErrorCount = static_cast<std::size_t>(ErrorId::InternalFault) + 1;

struct ErrorSpec {
  ErrorId id;
  // Unique name of the row, for callers outside C++ (the Python package, the
  // WebAssembly build); most rows' key is their code.
  std::string_view key;
  DiceErrorKind kind;
  ErrorClass raised_as;
  // The stable code. Bracketed codes that the text shows are kept as shown; the only
  // field a code may hold is {resource}, as in "limit.{resource}".
  std::string_view code;
  std::string_view text;     // exactly what str(exception) gives
  std::string_view english;  // the same in English, for people
};

// clang-format off
inline constexpr auto kErrors = std::to_array<ErrorSpec>({
    // Parse errors: the syntax report, the numbers that do not fit their place, and the
    // expression entry point given a program.
    {ErrorId::ParseSyntax, "parse.syntax", DiceErrorKind::ParseError, ErrorClass::ValueError,
     "parse.syntax", "解析错误: {report}",
     "syntax error at line {line}, column {column}: expected {expected}\n{line_text}\n{marker}"},
    {ErrorId::ParseNumber, "parse.number", DiceErrorKind::ParseError, ErrorClass::ValueError,
     "parse.number", "解析错误: 无效数字",
     "a number is out of range: numbers go from -9223372036854775808 to 9223372036854775807"},
    {ErrorId::ParseDiceCount, "parse.dice_count", DiceErrorKind::ParseError, ErrorClass::ValueError,
     "parse.dice_count", "解析错误: 无效的骰子数量",
     "the number of dice is out of range: a roll has at most 2147483647 dice"},
    {ErrorId::ParseDiceSides, "parse.dice_sides", DiceErrorKind::ParseError, ErrorClass::ValueError,
     "parse.dice_sides", "解析错误: 无效的骰子面数",
     "the number of sides is out of range: a die has at most 2147483647 sides"},
    {ErrorId::ParseExplodeKeepHighValue, "parse.explode_keep_high_value", DiceErrorKind::ParseError,
     ErrorClass::ValueError, "parse.explode_keep_high_value", "解析错误: 无效的ExplodeKeepHigh数值",
     "the number after K (explode and keep highest) is out of range: it must be from -2147483648 to 2147483647"},
    {ErrorId::ParseRerollValue, "parse.reroll_value", DiceErrorKind::ParseError, ErrorClass::ValueError,
     "parse.reroll_value", "解析错误: 无效的重投数值",
     "the number after r (reroll) is out of range: it must be from -2147483648 to 2147483647"},
    {ErrorId::ParseRerollOnceValue, "parse.reroll_once_value", DiceErrorKind::ParseError,
     ErrorClass::ValueError, "parse.reroll_once_value", "解析错误: 无效的条件重投数值",
     "the number after ro (reroll once) is out of range: it must be from -2147483648 to 2147483647"},
    {ErrorId::ParseRerollUntilValue, "parse.reroll_until_value", DiceErrorKind::ParseError,
     ErrorClass::ValueError, "parse.reroll_until_value", "解析错误: 无效的直到重投数值",
     "the number after R (reroll until) is out of range: it must be from -2147483648 to 2147483647"},
    {ErrorId::ParseRerollAddValue, "parse.reroll_add_value", DiceErrorKind::ParseError,
     ErrorClass::ValueError, "parse.reroll_add_value", "解析错误: 无效的重投并相加数值",
     "the number after a (reroll and add) is out of range: it must be from -2147483648 to 2147483647"},
    {ErrorId::ParseKeepHighValue, "parse.keep_high_value", DiceErrorKind::ParseError,
     ErrorClass::ValueError, "parse.keep_high_value", "解析错误: 无效的取高数值",
     "the number after k or kh (keep highest) is out of range: it must be from -2147483648 to 2147483647"},
    {ErrorId::ParseKeepLowValue, "parse.keep_low_value", DiceErrorKind::ParseError,
     ErrorClass::ValueError, "parse.keep_low_value", "解析错误: 无效的取低数值",
     "the number after kl (keep lowest) is out of range: it must be from -2147483648 to 2147483647"},
    {ErrorId::ParseDropHighValue, "parse.drop_high_value", DiceErrorKind::ParseError,
     ErrorClass::ValueError, "parse.drop_high_value", "解析错误: 无效的丢弃高数值",
     "the number after dh (drop highest) is out of range: it must be from -2147483648 to 2147483647"},
    {ErrorId::ParseDropLowValue, "parse.drop_low_value", DiceErrorKind::ParseError,
     ErrorClass::ValueError, "parse.drop_low_value", "解析错误: 无效的丢弃低数值",
     "the number after dl (drop lowest) is out of range: it must be from -2147483648 to 2147483647"},
    {ErrorId::ParseCountValue, "parse.count_value", DiceErrorKind::ParseError, ErrorClass::ValueError,
     "parse.count_value", "解析错误: 无效的计数数值",
     "the number after c (count) is out of range: it must be from -2147483648 to 2147483647"},
    {ErrorId::ParseOneInstruction, "parse.one_instruction", DiceErrorKind::ParseError,
     ErrorClass::ValueError, "parse.one_instruction",
     "解析错误: roll() 只接受一条指令；多条指令请使用 run()",
     "roll() takes exactly one instruction; use run() for a program of several"},

    // Evaluation.
    {ErrorId::DiceNotPositive, "dice.not_positive", DiceErrorKind::InvalidDiceExpression,
     ErrorClass::ValueError, "dice.not_positive", "无效的骰子表达式: 骰子数量和面数必须大于0",
     "invalid dice: the number of dice and the number of sides must both be at least 1"},
    {ErrorId::ArithmeticOverflow, "arithmetic.overflow", DiceErrorKind::ArithmeticOverflow,
     ErrorClass::ValueError, "arithmetic.overflow",
     "[arithmetic.overflow] checked i64 overflow during {operation}",
     "arithmetic overflow during {operation}: the result leaves the signed 64-bit range"},
    {ErrorId::DivideByZero, "arithmetic.divide_by_zero", DiceErrorKind::DivisionByZero,
     ErrorClass::ValueError, "arithmetic.divide_by_zero", "[arithmetic.divide_by_zero] 除零错误",
     "division by zero"},
    {ErrorId::InvalidExponent, "arithmetic.invalid_exponent", DiceErrorKind::InvalidExponent,
     ErrorClass::ValueError, "arithmetic.invalid_exponent",
     "[arithmetic.invalid_exponent] exponent {exponent} must fit unsigned 32-bit range",
     "invalid exponent {exponent}: an exponent must be from 0 to 4294967295"},
    {ErrorId::EntropyUnavailable, "random.entropy_unavailable", DiceErrorKind::EntropyUnavailable,
     ErrorClass::ValueError, "random.entropy_unavailable",
     "[random.entropy_unavailable] operating-system entropy is unavailable: {message}",
     "the operating system gave no random bytes: {message}"},

    // Limits and policies.
    {ErrorId::ParsedInstructions, "limit.parsed_instructions",
     DiceErrorKind::InstructionLimitExceeded, ErrorClass::ValueError, "limit.parsed_instructions",
     "[limit.parsed_instructions] 程序指令数量超过限制: 最多 {limit} 条",
     "limit reached: a program has at most {limit} instructions (parsed_instructions)"},
    {ErrorId::GeneratedValues, "limit.generated_values", DiceErrorKind::GeneratedValuesExceeded,
     ErrorClass::ValueError, "limit.generated_values",
     "[limit.generated_values] 计算预算已耗尽: 最多生成 {limit} 个骰子结果; used {used}, requested {requested}",
     "limit reached: at most {limit} faces are rolled (generated_values); used {used}, requested {requested}"},
    {ErrorId::BudgetExceeded, "limit.budget", DiceErrorKind::BudgetExceeded, ErrorClass::ValueError,
     "limit.{resource}",
     "[limit.{resource}] 计算预算已耗尽: used {used}, requested {requested}, limit {limit}",
     "limit reached: {resource} used {used}, requested {requested}, limit {limit}"},
    {ErrorId::UnknownLimit, "policy.unknown_limit", DiceErrorKind::UnknownLimit,
     ErrorClass::ValueError, "policy.invalid_limit",
     "[policy.invalid_limit] unknown resource limit: {name}",
     "there is no resource limit named '{name}'"},
    {ErrorId::NegativeLimit, "policy.negative_limit", DiceErrorKind::NegativeLimit,
     ErrorClass::ValueError, "policy.invalid_limit",
     "[policy.invalid_limit] {name} limit must be non-negative",
     "the {name} limit must not be negative"},
    {ErrorId::LimitAboveHardMax, "policy.limit_above_hard_max", DiceErrorKind::LimitAboveHardMax,
     ErrorClass::ValueError, "policy.limit_above_hard_max",
     "[policy.limit_above_hard_max] {resource} limit {requested} exceeds hard maximum {hard_max}",
     "the {resource} limit {requested} is above its hard maximum {hard_max}"},

    // The modifier strings of roll_with_modifiers.
    {ErrorId::ModifierUnknown, "modifier.unknown", DiceErrorKind::InvalidModifier,
     ErrorClass::ValueError, "modifier.unknown", "未知的修饰符",
     "unknown modifier: a modifier string is !, or r, ro, kh, kl, dh or dl followed by a number"},
    {ErrorId::ModifierRerollValue, "modifier.reroll_value", DiceErrorKind::InvalidModifier,
     ErrorClass::ValueError, "modifier.reroll_value", "无效的重投数值",
     "r (reroll) needs a whole number from -2147483648 to 2147483647 after it, like r1"},
    {ErrorId::ModifierRerollOnceValue, "modifier.reroll_once_value", DiceErrorKind::InvalidModifier,
     ErrorClass::ValueError, "modifier.reroll_once_value", "无效的条件重投数值",
     "ro (reroll once) needs a whole number from -2147483648 to 2147483647 after it, like ro1"},
    {ErrorId::ModifierKeepHighValue, "modifier.keep_high_value", DiceErrorKind::InvalidModifier,
     ErrorClass::ValueError, "modifier.keep_high_value", "无效的取高数值",
     "kh (keep highest) needs a whole number from -2147483648 to 2147483647 after it, like kh3"},
    {ErrorId::ModifierKeepLowValue, "modifier.keep_low_value", DiceErrorKind::InvalidModifier,
     ErrorClass::ValueError, "modifier.keep_low_value", "无效的取低数值",
     "kl (keep lowest) needs a whole number from -2147483648 to 2147483647 after it, like kl1"},
    {ErrorId::ModifierDropHighValue, "modifier.drop_high_value", DiceErrorKind::InvalidModifier,
     ErrorClass::ValueError, "modifier.drop_high_value", "无效的丢弃高数值",
     "dh (drop highest) needs a whole number from -2147483648 to 2147483647 after it, like dh1"},
    {ErrorId::ModifierDropLowValue, "modifier.drop_low_value", DiceErrorKind::InvalidModifier,
     ErrorClass::ValueError, "modifier.drop_low_value", "无效的丢弃低数值",
     "dl (drop lowest) needs a whole number from -2147483648 to 2147483647 after it, like dl1"},

    // Replays of given faces (kavelo.replay).
    {ErrorId::ReplayTooMany, "replay.too_many", DiceErrorKind::ReplayFault, ErrorClass::ValueError,
     "replay.too_many",
     "{count} faces are more than any roll can draw under the generated_values limit of {limit}",
     "{count} faces are more than any roll can draw under the generated_values limit of {limit}"},
    {ErrorId::ReplayNotAnInt, "replay.not_an_int", DiceErrorKind::ReplayFault,
     ErrorClass::ValueError, "replay.not_an_int", "face {index} is a '{type}', not an int",
     "face {index} is a '{type}', not an int"},
    {ErrorId::ReplayNotAFace, "replay.not_a_face", DiceErrorKind::ReplayFault,
     ErrorClass::ValueError, "replay.not_a_face",
     "face {index} ({value}) is not a face of any die: faces are from 1 to 2147483647",
     "face {index} ({value}) is not a face of any die: faces are from 1 to 2147483647"},
    {ErrorId::ReplayTooLarge, "replay.too_large", DiceErrorKind::ReplayFault,
     ErrorClass::ValueError, "replay.not_a_face",
     "face {index} (too large) is not a face of any die: faces are from 1 to 2147483647",
     "face {index} (too large) is not a face of any die: faces are from 1 to 2147483647"},
    {ErrorId::ReplayOutOfRange, "replay.face_out_of_range", DiceErrorKind::ReplayFault,
     ErrorClass::ValueError, "replay.face_out_of_range",
     "face {index} ({value}) is not a face of a die with {sides} sides: it must be from 1 to {sides}",
     "face {index} ({value}) is not a face of a die with {sides} sides: it must be from 1 to {sides}"},
    {ErrorId::ReplayTooFew, "replay.too_few", DiceErrorKind::ReplayFault, ErrorClass::ValueError,
     "replay.too_few", "the expression draws more faces than the {given} given",
     "the expression draws more faces than the {given} given"},
    {ErrorId::ReplayLeftOver, "replay.left_over", DiceErrorKind::ReplayFault,
     ErrorClass::ValueError, "replay.left_over",
     "{left} of the {given} faces left over: the expression draws only {drawn}",
     "{left} of the {given} faces left over: the expression draws only {drawn}"},

    // Odds (kavelo.odds). The generic too_complex row comes after the three with
    // numbers, which its text would also match.
    {ErrorId::OddsWork, "odds.work", DiceErrorKind::OddsRefused, ErrorClass::ValueError,
     "odds.too_complex",
     "[odds.too_complex] the odds need more than {max_work} steps of work (max_work)",
     "too complex to compute: the odds need more than {max_work} steps of work (max_work)"},
    {ErrorId::OddsOutcomes, "odds.outcomes", DiceErrorKind::OddsRefused, ErrorClass::ValueError,
     "odds.too_complex",
     "[odds.too_complex] {what} has {count} outcomes, more than {max_outcomes} (max_outcomes)",
     "too complex to compute: {what} has {count} outcomes, more than {max_outcomes} (max_outcomes)"},
    {ErrorId::OddsCells, "odds.cells", DiceErrorKind::OddsRefused, ErrorClass::ValueError,
     "odds.too_complex",
     "[odds.too_complex] the odds need more than {cells} probabilities stored at once ({factor} times max_outcomes)",
     "too complex to compute: the odds need more than {cells} probabilities stored at once ({factor} times max_outcomes)"},
    {ErrorId::OddsTooComplex, "odds.too_complex", DiceErrorKind::OddsRefused,
     ErrorClass::ValueError, "odds.too_complex", "[odds.too_complex] {detail}",
     "too complex to compute: {detail}"},
    {ErrorId::OddsExplodesForever, "odds.explodes_forever", DiceErrorKind::OddsRefused,
     ErrorClass::ValueError, "odds.endless",
     "[odds.endless] {term} never ends: a one-sided die explodes on every face",
     "{term} never ends: a one-sided die explodes on every face"},
    {ErrorId::OddsRerollsForever, "odds.rerolls_forever", DiceErrorKind::OddsRefused,
     ErrorClass::ValueError, "odds.endless",
     "[odds.endless] {term} can reroll without end: R{threshold} matches every face of a d{sides}",
     "{term} can reroll without end: R{threshold} matches every face of a d{sides}"},
    {ErrorId::OddsProgram, "odds.program", DiceErrorKind::OddsRefused, ErrorClass::ValueError,
     "odds.program",
     "[odds.program] odds() takes one expression, not a program of {count} instructions; ask for each instruction on its own",
     "odds() takes one expression, not a program of {count} instructions; ask for each instruction on its own"},
    {ErrorId::OddsTolerance, "odds.tolerance", DiceErrorKind::OddsRefused, ErrorClass::ValueError,
     "odds.invalid_argument",
     "[odds.invalid_argument] tolerance must lie strictly between 0 and 1: got {got}",
     "tolerance must lie strictly between 0 and 1: got {got}"},
    {ErrorId::OddsCountArgument, "odds.count_argument", DiceErrorKind::OddsRefused,
     ErrorClass::ValueError, "odds.invalid_argument",
     "[odds.invalid_argument] {argument} must lie between 1 and 18446744073709551615: got {got}",
     "{argument} must lie between 1 and 18446744073709551615: got {got}"},

    // The binding layer: arguments that do not bind or convert, a busy roller, a second
    // initialisation, and the interpreter's own errors passed through.
    {ErrorId::ArgumentTooMany, "argument.too_many", DiceErrorKind::Binding, ErrorClass::TypeError,
     "argument.too_many", "{function} takes {count} positional arguments but {given} {were} given",
     "{function} takes {count} positional arguments but {given} {were} given"},
    {ErrorId::ArgumentTooManyRange, "argument.too_many_range", DiceErrorKind::Binding,
     ErrorClass::TypeError, "argument.too_many",
     "{function} takes from {required} to {count} positional arguments but {given} {were} given",
     "{function} takes from {required} to {count} positional arguments but {given} {were} given"},
    {ErrorId::ArgumentNoArguments, "argument.no_arguments", DiceErrorKind::Binding,
     ErrorClass::TypeError, "argument.too_many", "{function} takes no arguments ({given} given)",
     "{function} takes no arguments ({given} given)"},
    {ErrorId::ArgumentUnexpectedKeyword, "argument.unexpected_keyword", DiceErrorKind::Binding,
     ErrorClass::TypeError, "argument.unexpected_keyword",
     "{function} got an unexpected keyword argument '{keyword}'",
     "{function} got an unexpected keyword argument '{keyword}'"},
    {ErrorId::ArgumentDuplicate, "argument.duplicate", DiceErrorKind::Binding,
     ErrorClass::TypeError, "argument.duplicate",
     "{function} got multiple values for argument '{argument}'",
     "{function} got multiple values for argument '{argument}'"},
    {ErrorId::ArgumentMissing, "argument.missing", DiceErrorKind::Binding, ErrorClass::TypeError,
     "argument.missing", "{function} missing {count} required positional {noun}: {names}",
     "{function} missing {count} required positional {noun}: {names}"},
    {ErrorId::ArgumentConversion, "argument.conversion", DiceErrorKind::Binding,
     ErrorClass::TypeError, "argument.type",
     "argument '{argument}': '{type}' object cannot be converted to '{target}'",
     "argument '{argument}' cannot take a value of type '{type}': it needs a {target}"},
    {ErrorId::ReceiverConversion, "argument.receiver", DiceErrorKind::Binding,
     ErrorClass::TypeError, "argument.type", "'{type}' object cannot be converted to '{target}'",
     "a value of type '{type}' is not a {target}"},
    {ErrorId::ArgumentDescriptor, "argument.descriptor", DiceErrorKind::Binding,
     ErrorClass::TypeError, "argument.type",
     "descriptor '{method}' for '{owner}' objects doesn't apply to a '{type}' object",
     "{method} is a method of {owner} and cannot be called on a value of type '{type}'"},
    {ErrorId::ArgumentNotAnInteger, "argument.not_an_integer", DiceErrorKind::Binding,
     ErrorClass::TypeError, "argument.type",
     "argument '{argument}': '{type}' object cannot be interpreted as an integer",
     "argument '{argument}' must be a whole number, not a value of type '{type}'"},
    {ErrorId::ArgumentNotANumber, "argument.not_a_number", DiceErrorKind::Binding,
     ErrorClass::TypeError, "argument.type",
     "argument '{argument}': must be a real number, not '{type}'",
     "argument '{argument}' must be a real number, not a value of type '{type}'"},
    {ErrorId::ArgumentNotAPolicy, "argument.not_a_policy", DiceErrorKind::Binding,
     ErrorClass::TypeError, "argument.type",
     "argument '{argument}': '{type}' object is not a ResourcePolicy",
     "argument '{argument}' must be a ResourcePolicy, not a value of type '{type}'"},
    {ErrorId::ArgumentStrNotList, "argument.str_not_list", DiceErrorKind::Binding,
     ErrorClass::TypeError, "argument.type", "argument '{argument}': Can't extract `str` to `Vec`",
     "argument '{argument}' must be a list of strings, not one str"},
    {ErrorId::ArgumentLimitsDict, "argument.limits_dict", DiceErrorKind::Binding,
     ErrorClass::TypeError, "argument.type", "limits must be None or a dict of limits",
     "limits must be None or a dict of limits"},
    {ErrorId::ArgumentNotIterable, "argument.not_iterable", DiceErrorKind::Binding,
     ErrorClass::TypeError, "argument.type", "'{type}' object is not iterable",
     "a value of type '{type}' is not a sequence of values"},
    {ErrorId::ArgumentOther, "argument.other", DiceErrorKind::Binding, ErrorClass::TypeError,
     "argument.type", "argument '{argument}': {message}", "argument '{argument}': {message}"},
    {ErrorId::ArgumentOutOfRange, "argument.out_of_range", DiceErrorKind::Binding,
     ErrorClass::OverflowError, "argument.overflow",
     "out of range integral type conversion attempted",
     "a number of dice or sides is out of range: it must be from -2147483648 to 2147483647"},
    {ErrorId::ArgumentOverflow, "argument.overflow", DiceErrorKind::Binding,
     ErrorClass::OverflowError, "argument.overflow", "{message}",
     "a number is out of range: {message}"},
    {ErrorId::RollerBusy, "roller.busy", DiceErrorKind::Binding, ErrorClass::RuntimeError,
     "roller.busy", "Already borrowed",
     "the roller is busy with a call that has not finished"},
    {ErrorId::ModuleInitializedTwice, "module.initialized_twice", DiceErrorKind::Binding,
     ErrorClass::ImportError, "module.initialized_twice",
     "kavelo._core may only be initialized once per interpreter process",
     "kavelo._core may only be initialized once per interpreter process"},
    {ErrorId::InputEncoding, "input.encoding", DiceErrorKind::Binding,
     ErrorClass::UnicodeEncodeError, "input.encoding", "{message}",
     "the text is not valid Unicode: {message}"},
    {ErrorId::InputMemory, "input.memory", DiceErrorKind::Binding, ErrorClass::MemoryError,
     "input.memory", "{message}", "out of memory"},
    {ErrorId::InternalFault, "internal.fault", DiceErrorKind::Binding, ErrorClass::InternalFault,
     "internal.fault", "{message}", "internal fault of kavelo (a bug, not your input): {message}"},
});
// clang-format on

constexpr const ErrorSpec& error_spec(ErrorId id) noexcept {
  return kErrors[static_cast<std::size_t>(id)];
}

// What a field holds, which decides how it is written and read back.
enum class FieldType : std::uint8_t {
  Count,       // an unsigned decimal number
  Integer,     // a signed decimal number
  Resource,    // a resource name (one of the seventeen)
  Identifier,  // letters, digits, "_", ".", "(" and ")": a Python name, "roll()", "was"
  Words,       // letters, digits, "_" and spaces: a type's description
  Text,        // any text, the empty text too; at most one per text template
  Report,      // a syntax report (any text that reads as one); at most one per template
};

// Where a DiceError keeps a field's value; None for the fields that only the binding
// layer fills.
enum class FieldSlot : std::uint8_t { None, Name, Message, Used, Requested, Limit, Exponent };

struct FieldSpec {
  std::string_view name;
  FieldType type;
  FieldSlot slot;
};

// clang-format off
inline constexpr auto kErrorFields = std::to_array<FieldSpec>({
    {"report",       FieldType::Report,     FieldSlot::Message},
    {"message",      FieldType::Text,       FieldSlot::Message},
    {"name",         FieldType::Text,       FieldSlot::Message},
    {"detail",       FieldType::Text,       FieldSlot::Message},
    {"term",         FieldType::Text,       FieldSlot::Message},
    {"type",         FieldType::Text,       FieldSlot::Message},
    {"operation",    FieldType::Text,       FieldSlot::Name},
    {"what",         FieldType::Text,       FieldSlot::Name},
    {"resource",     FieldType::Resource,   FieldSlot::Name},
    {"used",         FieldType::Count,      FieldSlot::Used},
    {"index",        FieldType::Count,      FieldSlot::Used},
    {"left",         FieldType::Count,      FieldSlot::Used},
    {"factor",       FieldType::Count,      FieldSlot::Used},
    {"requested",    FieldType::Count,      FieldSlot::Requested},
    {"given",        FieldType::Count,      FieldSlot::Requested},
    {"count",        FieldType::Count,      FieldSlot::Requested},
    {"limit",        FieldType::Count,      FieldSlot::Limit},
    {"hard_max",     FieldType::Count,      FieldSlot::Limit},
    {"sides",        FieldType::Count,      FieldSlot::Limit},
    {"drawn",        FieldType::Count,      FieldSlot::Limit},
    {"max_work",     FieldType::Count,      FieldSlot::Limit},
    {"max_outcomes", FieldType::Count,      FieldSlot::Limit},
    {"cells",        FieldType::Count,      FieldSlot::Limit},
    {"exponent",     FieldType::Integer,    FieldSlot::Exponent},
    {"value",        FieldType::Integer,    FieldSlot::Exponent},
    {"threshold",    FieldType::Integer,    FieldSlot::Exponent},
    {"got",          FieldType::Text,       FieldSlot::None},
    {"function",     FieldType::Identifier, FieldSlot::None},
    {"argument",     FieldType::Identifier, FieldSlot::None},
    {"required",     FieldType::Count,      FieldSlot::None},
    {"were",         FieldType::Identifier, FieldSlot::None},
    {"noun",         FieldType::Identifier, FieldSlot::None},
    {"keyword",      FieldType::Text,       FieldSlot::None},
    {"names",        FieldType::Text,       FieldSlot::None},
    {"method",       FieldType::Identifier, FieldSlot::None},
    {"owner",        FieldType::Identifier, FieldSlot::None},
    {"target",       FieldType::Words,      FieldSlot::None},
});
// clang-format on

// The parts of a syntax report, which the English text of a row with a {report} field
// may use: its line and column (from 1), the line as shown, the caret (characters of
// the line before the failing one), a marker line with "^" under the failing character,
// and what was expected, in player words.
inline constexpr auto kReportParts = std::to_array<std::string_view>({
    "line",
    "column",
    "line_text",
    "caret",
    "marker",
    "expected",
});

// What each grammar rule means to a player, for "expected ..." in English. Keyed by the
// rule's name as syntax reports show it; the grammar checks that every rule has an entry.
struct RuleWords {
  std::string_view rule;
  std::string_view words;
};

// clang-format off
inline constexpr auto kRuleWords = std::to_array<RuleWords>({
    {"EOI",                   "the end of the text"},
    {"WHITESPACE",            "a space"},
    {"number",                "a number"},
    {"comment",               "a comment after #"},
    {"program",               "an expression"},
    {"instruction",           "an expression"},
    {"instruction_separator", "a ;"},
    {"dice_expr",             "an expression"},
    {"dice_term",             "a roll like 2d6, a number or a ("},
    {"paren_expr",            "an expression in brackets"},
    {"dice_roll",             "a roll like 2d6"},
    {"dice_sides",            "a number of sides after d"},
    {"modifiers",             "a modifier like kh3"},
    {"modifier",              "a modifier like kh3"},
    {"explode",               "the modifier !"},
    {"explode_alias",         "the modifier e"},
    {"explode_keep_high",     "the modifier K and its number"},
    {"reroll",                "the modifier r and its number"},
    {"reroll_once",           "the modifier ro and its number"},
    {"reroll_until",          "the modifier R and its number"},
    {"reroll_add",            "the modifier a and its number"},
    {"keep_alias",            "the modifier k and its number"},
    {"keep_high",             "the modifier kh and its number"},
    {"keep_low",              "the modifier kl and its number"},
    {"drop_high",             "the modifier dh and its number"},
    {"drop_low",              "the modifier dl and its number"},
    {"unique",                "the modifier u"},
    {"sort",                  "the modifier s"},
    {"count",                 "the modifier c and its number"},
    {"op",                    "an operator (+ - * / ^)"},
});
// clang-format on

// The player words of a grammar rule's name; empty for a name that is no rule's.
constexpr std::string_view rule_words(std::string_view rule) noexcept {
  for (const RuleWords& entry : kRuleWords) {
    if (entry.rule == rule) return entry.words;
  }
  return {};
}

// The code of every limit error, one per resource limit in the resource table's order
// (resource_spec.hpp checks the order), so that code() can return "limit.<name>" as
// static text.
inline constexpr auto kLimitCodes = std::to_array<std::string_view>({
    "limit.source_bytes",
    "limit.environment_items",
    "limit.environment_bytes",
    "limit.parse_depth",
    "limit.ast_nodes",
    "limit.parsed_instructions",
    "limit.executed_instructions",
    "limit.nesting_depth",
    "limit.source_items",
    "limit.generated_values",
    "limit.rng_words",
    "limit.collection_items",
    "limit.trace_nodes",
    "limit.output_items",
    "limit.output_bytes",
    "limit.work_units",
    "limit.batch_samples",
});
inline constexpr std::string_view kLimitCodePrefix = "limit.";

// "limit.<resource>", or empty when `resource` is no resource limit's name.
constexpr std::string_view limit_code(std::string_view resource) noexcept {
  for (const std::string_view code : kLimitCodes) {
    if (code.substr(kLimitCodePrefix.size()) == resource) return code;
  }
  return {};
}

// The texts of the kinds whose DiceError keeps its message: "解析错误: " and the message
// for a parse error, "无效的骰子表达式: " and the message for an invalid roll.
inline constexpr std::string_view kParseLabel = "解析错误: ";
inline constexpr std::string_view kInvalidDiceLabel = "无效的骰子表达式: ";

// The row of `kind` whose whole text is `label` followed by `message`, for the kinds
// that carry fixed messages (parse errors, invalid rolls, modifier strings); nothing
// when there is none.
struct FoundRow {
  bool found = false;
  ErrorId id = ErrorId::ParseSyntax;
};
constexpr FoundRow find_fixed_row(DiceErrorKind kind, std::string_view message) noexcept {
  const std::string_view label = kind == DiceErrorKind::ParseError ? kParseLabel
                                 : kind == DiceErrorKind::InvalidDiceExpression
                                     ? kInvalidDiceLabel
                                     : std::string_view{};
  for (const ErrorSpec& spec : kErrors) {
    if (spec.kind != kind || spec.text.find('{') != std::string_view::npos) continue;
    if (spec.text.size() == label.size() + message.size() && spec.text.starts_with(label) &&
        spec.text.substr(label.size()) == message) {
      return {true, spec.id};
    }
  }
  return {};
}

}  // namespace kavelo
