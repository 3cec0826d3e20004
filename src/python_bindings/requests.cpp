#include "python_bindings/requests.hpp"

#include <charconv>
#include <optional>
#include <vector>

#include "calculator/dice_calculator.hpp"
#include "parser/dice_parser.hpp"
#include "python_bindings/binding.hpp"
#include "python_bindings/result_conversion.hpp"

namespace kavelo::py {

namespace {

template <class T>
bool succeeded(const Result<T>& result) {
  if (result) return true;
  raise_dice_error(result.error());
  return false;
}

// "n": an optional sign, then one or more ASCII digits, within signed 32 bits.
std::optional<std::int32_t> modifier_number(std::string_view text) {
  std::string_view digits = text;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) digits.remove_prefix(1);
  if (digits.empty()) return std::nullopt;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  // from_chars takes a leading "-" but not a "+".
  if (text.front() == '+') text.remove_prefix(1);
  std::int32_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

struct ModifierPrefix {
  std::string_view prefix;
  ModifierKind kind;
  const char* message;
};

// Checked in this order, after the one-character forms and the lone "r" prefix.
constexpr ModifierPrefix kModifierPrefixes[] = {
    {"ro", ModifierKind::RerollOnce, "无效的条件重投数值"},
    {"kh", ModifierKind::KeepHigh, "无效的取高数值"},
    {"kl", ModifierKind::KeepLow, "无效的取低数值"},
    {"dh", ModifierKind::DropHigh, "无效的丢弃高数值"},
    {"dl", ModifierKind::DropLow, "无效的丢弃低数值"},
};

// One modifier string to a modifier, or the message that refuses it.
std::optional<DiceModifier> classify_modifier(std::string_view text, const char*& message) {
  if (text.size() == 1) {
    if (text == "!") return DiceModifier{ModifierKind::Explode, 0};
    message = text == "r" ? "无效的重投数值" : "未知的修饰符";
    return std::nullopt;
  }
  auto with_number = [&](ModifierKind kind, std::string_view rest,
                         const char* refusal) -> std::optional<DiceModifier> {
    if (auto n = modifier_number(rest)) return DiceModifier{kind, *n};
    message = refusal;
    return std::nullopt;
  };
  if (text.starts_with('r') && !text.starts_with("ro")) {
    return with_number(ModifierKind::Reroll, text.substr(1), "无效的重投数值");
  }
  for (const ModifierPrefix& entry : kModifierPrefixes) {
    if (text.starts_with(entry.prefix)) {
      return with_number(entry.kind, text.substr(entry.prefix.size()), entry.message);
    }
  }
  message = "未知的修饰符";
  return std::nullopt;
}

}  // namespace

PyObject* roll_expression(const ResourcePolicy& policy, std::string_view text) {
  auto expression = DiceParser::parse_expression_with_policy(text, policy);
  if (!succeeded(expression)) return nullptr;
  DiceCalculator calculator(policy);
  auto result = calculator.evaluate_expression(*expression);
  if (!succeeded(result)) return nullptr;
  return dice_result_to_dict(*result);
}

PyObject* run_program_text(const ResourcePolicy& policy, std::string_view text) {
  auto program = DiceParser::parse_program_with_policy(text, policy);
  if (!succeeded(program)) return nullptr;
  DiceCalculator calculator(policy);
  auto result = calculator.evaluate_program(*program);
  if (!succeeded(result)) return nullptr;
  return program_result_to_object(*result);
}

PyObject* roll_simple_total(const ResourcePolicy& policy, std::int32_t count,
                            std::int32_t sides) {
  DiceCalculator calculator(policy);
  auto total = calculator.roll_simple(DiceTerm{count, sides, {}});
  if (!succeeded(total)) return nullptr;
  return PyLong_FromLongLong(*total);
}

PyObject* roll_batch(const ResourcePolicy& policy, std::string_view text, std::uint64_t times) {
  auto expression = DiceParser::parse_expression_with_policy(text, policy);
  if (!succeeded(expression)) return nullptr;
  DiceCalculator calculator(policy);
  auto results = calculator.evaluate_batch(*expression, times);
  if (!succeeded(results)) return nullptr;
  return dice_results_to_list(*results);
}

PyObject* roll_with_modifier_strings(const ResourcePolicy& policy, std::int32_t count,
                                     std::int32_t sides,
                                     std::span<const std::string> modifiers) {
  Expression expression;
  for (const std::string& text : modifiers) {
    const char* message = nullptr;
    auto modifier = classify_modifier(text, message);
    if (!modifier) {
      PyErr_SetString(PyExc_ValueError, message);
      return nullptr;
    }
    expression.pool.add_modifier(*modifier);
  }
  expression.root = expression.pool.add_dice(count, sides, 0);
  DiceCalculator calculator(policy);
  auto result = calculator.evaluate_expression(expression);
  if (!succeeded(result)) return nullptr;
  return modifier_roll_to_dict(*result);
}

}  // namespace kavelo::py
