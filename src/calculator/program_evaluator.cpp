// Requests that evaluate several expressions: programs and batches of samples.
#include "calculator/dice_calculator.hpp"
#include "types/canonical_json.hpp"

namespace kavelo {

namespace {

// One instruction or sample: its charges, its evaluation, its output items.
Status evaluate_item(DiceCalculator& calculator, const ExpressionPool& pool, NodeId root,
                     std::vector<DiceResult>& results) {
  ExecutionBudget& budget = calculator.budget();
  KAVELO_TRY(budget.charge(Resource::executed_instructions, 1));
  KAVELO_TRY(budget.charge(Resource::work_units, 1));
  auto result = calculator.evaluate_expression_with_budget(pool, root);
  if (!result) return std::unexpected(std::move(result.error()));
  KAVELO_TRY(budget.charge(Resource::output_items, item_count(*result)));
  results.push_back(std::move(*result));
  return {};
}

}  // namespace

Result<ProgramResult> DiceCalculator::evaluate_program(const Program& program) {
  reset_request();
  KAVELO_TRY(budget_.ensure(Resource::collection_items, program.instructions.size()));
  ProgramResult result;
  result.results.reserve(program.instructions.size());
  for (NodeId root : program.instructions) {
    KAVELO_TRY(evaluate_item(*this, program.pool, root, result.results));
  }
  result.comment = program.comment;
  KAVELO_TRY(ensure_generator());
  KAVELO_TRY(budget_.charge(Resource::output_bytes, canonical_length(result)));
  return result;
}

Result<std::vector<DiceResult>> DiceCalculator::evaluate_batch(const Expression& expression,
                                                               std::uint64_t times) {
  reset_request();
  KAVELO_TRY(budget_.charge(Resource::batch_samples, times));
  KAVELO_TRY(budget_.ensure(Resource::collection_items, times));
  std::vector<DiceResult> results;
  results.reserve(static_cast<std::size_t>(times));
  for (std::uint64_t i = 0; i < times; ++i) {
    KAVELO_TRY(evaluate_item(*this, expression.pool, expression.root, results));
  }
  KAVELO_TRY(ensure_generator());
  KAVELO_TRY(budget_.charge(Resource::output_bytes, canonical_length(std::span(results))));
  return results;
}

}  // namespace kavelo
