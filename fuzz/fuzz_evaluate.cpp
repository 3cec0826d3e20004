// Parse and evaluate: every request entry of the calculator on whatever the input
// parses to, under the default policy and under a tight policy derived from the input.
// The generator key comes from the input too, so a crash reproduces.
//
// After every request: no counter above its limit, the nesting depth back at 0, and on
// success the output charges equal to what the result really measures.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "calculator/dice_calculator.hpp"
#include "fuzz_support.hpp"
#include "parser/dice_parser.hpp"
#include "types/canonical_json.hpp"

namespace kavelo::fuzz {
namespace {

void check_request_state(const DiceCalculator& calculator) {
  check(calculator.nesting_depth() == 0, "nesting depth not restored after a request");
  const ExecutionBudget& budget = calculator.budget();
  for (std::size_t i = 0; i < kResourceCount; ++i) {
    const auto r = static_cast<Resource>(i);
    check(budget.used(r) <= budget.limit(r), "a counter went past its limit", name_of(r));
  }
}

void check_error(const DiceError& error) {
  // Only the policy class raises these, never a request.
  check(error.kind() != DiceErrorKind::UnknownLimit &&
            error.kind() != DiceErrorKind::LimitAboveHardMax,
        "a request reported a policy error", error.display());
  check(error.kind() != DiceErrorKind::EntropyUnavailable, "the derived key source failed");
}

std::uint64_t items_of(const DiceResult& result) { return item_count(result); }

void check_record(const DiceResult& result) {
  std::string text;
  append_canonical(text, result);
  check(text.size() == canonical_length(result), "canonical length disagrees with the text", text);
  check(result.rolls.group_count() <= result.rolls.value_count(), "an empty roll group");
}

void evaluate_expression(DiceCalculator& calculator, const Expression& expression) {
  auto result = calculator.evaluate_expression(expression);
  check_request_state(calculator);
  if (!result) return check_error(result.error());
  check_record(*result);
  const ExecutionBudget& budget = calculator.budget();
  check(budget.used(Resource::OutputItems) == items_of(*result), "output_items charge");
  check(budget.used(Resource::OutputBytes) == canonical_length(*result), "output_bytes charge");
  check(budget.used(Resource::ExecutedInstructions) == 1, "executed_instructions charge");
}

void evaluate_batch(DiceCalculator& calculator, const Expression& expression, std::uint64_t times) {
  auto results = calculator.evaluate_batch(expression, times);
  check_request_state(calculator);
  if (!results) return check_error(results.error());
  check(results->size() == times, "a batch returned the wrong number of samples");
  std::uint64_t items = 0;
  for (const DiceResult& result : *results) {
    check_record(result);
    items += items_of(result);
  }
  const ExecutionBudget& budget = calculator.budget();
  check(budget.used(Resource::OutputItems) == items, "batch output_items charge");
  check(budget.used(Resource::OutputBytes) == canonical_length(std::span(*results)),
        "batch output_bytes charge");
}

void evaluate_program(DiceCalculator& calculator, const Program& program) {
  auto result = calculator.evaluate_program(program);
  check_request_state(calculator);
  if (!result) return check_error(result.error());
  check(result->results.size() == program.instructions.size(), "program result count");
  std::string text;
  append_canonical(text, *result);
  check(text.size() == canonical_length(*result), "program canonical length", text);
  check(calculator.budget().used(Resource::OutputBytes) == text.size(),
        "program output_bytes charge");
  for (const DiceResult& record : result->results) {
    check(!record.comment, "a program instruction carried a comment");
  }
}

// roll_simple on every dice term of the program, modifiers and all.
void roll_terms(DiceCalculator& calculator, const Program& program) {
  for (std::size_t id = 0; id < program.pool.size() && id < 64; ++id) {
    const ExprNode& node = program.pool.node(static_cast<NodeId>(id));
    if (node.kind != ExprKind::Dice) continue;
    auto total = calculator.roll_simple(program.pool.dice(node));
    check_request_state(calculator);
    if (!total) check_error(total.error());
  }
}

void run(std::string_view source, const ResourcePolicy& policy, Stream& stream) {
  DerivedEntropy entropy{Stream{stream.next()}};
  DiceCalculator calculator(policy, entropy.source());

  if (auto program = DiceParser::parse_program_with_policy(source, policy)) {
    evaluate_program(calculator, *program);
    roll_terms(calculator, *program);
  }
  if (auto expression = DiceParser::parse_expression_with_policy(source, policy)) {
    evaluate_expression(calculator, *expression);
    // Mostly short batches; now and then one just over the default batch size.
    const std::uint64_t times = stream.below(8) == 0 ? 10001 : stream.below(40);
    evaluate_batch(calculator, *expression, times);
  }
  // A plain roll with counts and sides around the edges of what is valid.
  static constexpr std::int32_t kEdges[] = {-1, 0, 1, 2, 6, 100, 10000, 10001, 2147483647};
  const DiceTerm term{
      kEdges[stream.below(std::size(kEdges))], kEdges[stream.below(std::size(kEdges))], {}};
  auto total = calculator.roll_simple(term);
  check_request_state(calculator);
  if (!total) check_error(total.error());
}

}  // namespace
}  // namespace kavelo::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kavelo;
  const std::string_view source(reinterpret_cast<const char*>(data), size);
  const std::uint64_t seed = fuzz::hash_of(source);
  fuzz::Stream stream{seed};
  fuzz::run(source, ResourcePolicy(), stream);
  fuzz::run(source, fuzz::tight_policy(seed ^ 0x5bd1e995u), stream);
  return 0;
}
