#include "python_bindings/requests.hpp"

#include <array>

#include "calculator/dice_calculator.hpp"
#include "calculator/quick_roll.hpp"
#include "parser/dice_parser.hpp"
#include "python_bindings/binding.hpp"
#include "python_bindings/result_conversion.hpp"
#include "resource/resource_spec.hpp"

namespace kavelo::py {

namespace {

template <class T>
bool succeeded(const Result<T>& result) {
  if (result) return true;
  raise_dice_error(result.error());
  return false;
}

// A text refused before it was encoded fails with the parser's first check.
bool refused(const ResourcePolicy& policy, const Utf8Text& text) {
  if (!text.refused_length) return false;
  raise_dice_error(DiceError::budget_exceeded(name_of(Resource::SourceBytes), 0,
                                              *text.refused_length,
                                              policy.limit(Resource::SourceBytes)));
  return true;
}

}  // namespace

// The quick path of roll_expression: the result's dict when it finished the request
// (null with an exception set when making the dict failed), or null with `taken` false
// when the general path is to run, with `replay` set when it must use `key`. Apart, so
// that its buffers are off the stack before the general path runs.
[[gnu::noinline]] PyObject* quick_roll(const ResourcePolicy& policy, std::string_view text,
                                       bool& taken, bool& replay,
                                       std::array<std::uint8_t, 32>& key) {
  QuickRoll quick;
  const QuickRoll::Outcome outcome = quick.run(text, policy, os_entropy());
  taken = outcome == QuickRoll::Outcome::Done;
  if (taken) return quick_roll_to_dict(quick);
  replay = outcome == QuickRoll::Outcome::Replay;
  if (replay) key = quick.replayed_key();
  return nullptr;
}

PyObject* roll_expression(const ResourcePolicy& policy, const Utf8Text& text) {
  if (refused(policy, text)) return nullptr;
  bool taken = false;
  bool replay = false;
  std::array<std::uint8_t, 32> key;
  PyObject* quick = quick_roll(policy, text.text, taken, replay, key);
  if (taken) return quick;
  auto expression = DiceParser::parse_expression_with_policy(text.text, policy);
  if (!succeeded(expression)) return nullptr;
  DiceCalculator calculator(policy, replay ? replayed_entropy(key) : os_entropy());
  auto result = calculator.evaluate_expression(*expression);
  if (!succeeded(result)) return nullptr;
  return dice_result_to_dict(*result);
}

PyObject* run_program_text(const ResourcePolicy& policy, const Utf8Text& text) {
  if (refused(policy, text)) return nullptr;
  auto program = DiceParser::parse_program_with_policy(text.text, policy);
  if (!succeeded(program)) return nullptr;
  DiceCalculator calculator(policy);
  auto result = calculator.evaluate_program(*program);
  if (!succeeded(result)) return nullptr;
  return program_result_to_object(*result);
}

PyObject* roll_simple_total(const ResourcePolicy& policy, std::int32_t count, std::int32_t sides) {
  DiceCalculator calculator(policy);
  auto total = calculator.roll_simple(DiceTerm{count, sides, {}});
  if (!succeeded(total)) return nullptr;
  return PyLong_FromLongLong(*total);
}

PyObject* roll_batch(const ResourcePolicy& policy, const Utf8Text& text, std::uint64_t times) {
  if (refused(policy, text)) return nullptr;
  auto expression = DiceParser::parse_expression_with_policy(text.text, policy);
  if (!succeeded(expression)) return nullptr;
  DiceCalculator calculator(policy);
  auto results = calculator.evaluate_batch(*expression, times);
  if (!succeeded(results)) return nullptr;
  return dice_results_to_list(*results);
}

PyObject* roll_with_modifier_list(const ResourcePolicy& policy, std::int32_t count,
                                  std::int32_t sides, const ModifierList& list) {
  if (list.refusal) {
    raise_dice_error(*list.refusal);
    return nullptr;
  }
  Expression expression;
  expression.root = expression.pool.add_dice(count, sides, list.modifiers);
  DiceCalculator calculator(policy);
  auto result = calculator.evaluate_expression(expression);
  if (!succeeded(result)) return nullptr;
  return modifier_roll_to_dict(*result);
}

}  // namespace kavelo::py
