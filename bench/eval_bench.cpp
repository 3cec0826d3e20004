// Evaluation time of the core, without Python: the whole roll of a short expression
// (parse, fresh calculator, evaluation, output sizing), evaluation alone, and a large
// batch of samples in one request.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "bench.hpp"
#include "calculator/dice_calculator.hpp"
#include "parser/dice_parser.hpp"

namespace {

using namespace kavelo;

constexpr std::string_view kRoll = "4d6kh3+2";
constexpr std::uint64_t kSamples = 10000;

template <class T>
const T& checked(const Result<T>& result) {
  if (!result) {
    std::fprintf(stderr, "benchmark request failed: %s\n", result.error().display().c_str());
    std::abort();
  }
  return *result;
}

const Expression& parsed_roll() {
  static const Expression expression =
      checked(DiceParser::parse_expression_with_policy(kRoll, ResourcePolicy()));
  return expression;
}

// A constant key: the evaluation without the entropy system call of every request.
int fill_constant(void*, std::uint8_t* out, std::size_t len) {
  for (std::size_t i = 0; i < len; ++i) out[i] = static_cast<std::uint8_t>(i * 13 + 5);
  return 0;
}

// What one roll_dice call does below Python: parse under the default policy, build a
// calculator, evaluate with a generator keyed from the operating system.
KAVELO_BENCHMARK("eval/parse+evaluate 4d6kh3+2 (OS entropy)", "call", 1, [] {
  static const ResourcePolicy policy;
  auto expression = DiceParser::parse_expression_with_policy(kRoll, policy);
  DiceCalculator calculator(policy);
  auto result = calculator.evaluate_expression(checked(expression));
  bench::do_not_optimize(checked(result).total);
});

KAVELO_BENCHMARK("eval/evaluate 4d6kh3+2 (OS entropy)", "call", 1, [] {
  static DiceCalculator calculator{ResourcePolicy()};
  auto result = calculator.evaluate_expression(parsed_roll());
  bench::do_not_optimize(checked(result).total);
});

KAVELO_BENCHMARK("eval/evaluate 4d6kh3+2 (constant key)", "call", 1, [] {
  static DiceCalculator calculator{ResourcePolicy(), EntropySource{&fill_constant, nullptr}};
  auto result = calculator.evaluate_expression(parsed_roll());
  bench::do_not_optimize(checked(result).total);
});

// One request of 10,000 samples: one entropy call, one stream, one list.
KAVELO_BENCHMARK("eval/batch 10000 x 4d6kh3 (OS entropy)", "sample", kSamples, [] {
  static DiceCalculator calculator{ResourcePolicy::hard_maxima()};
  static const Expression expression =
      checked(DiceParser::parse_expression_with_policy("4d6kh3", ResourcePolicy()));
  auto result = calculator.evaluate_batch(expression, kSamples);
  bench::do_not_optimize(checked(result).back().total);
});

}  // namespace
