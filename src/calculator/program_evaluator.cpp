// Requests that evaluate several expressions: programs and batches of samples.
#include "calculator/dice_calculator.hpp"
#include "calculator/roll_trace.hpp"
#include "types/canonical_json.hpp"

namespace kavelo {

namespace {

// Canonical JSON lengths of a batch's fixed pieces: the list's "[" and "]", the ","
// between two records, an empty string "" and null.
constexpr std::uint64_t kJsonBracketsLength = 2;
constexpr std::uint64_t kJsonCommaLength = 1;
constexpr std::uint64_t kJsonEmptyStringLength = 2;
constexpr std::uint64_t kJsonNullLength = 4;

// One instruction or sample: its charges, its evaluation, its output items.
Status evaluate_item(DiceCalculator& calculator, const ExpressionPool& pool, NodeId root,
                     std::vector<DiceResult>& results) {
  ExecutionBudget& budget = calculator.budget();
  KAVELO_TRY(budget.charge(Resource::ExecutedInstructions, 1));
  KAVELO_TRY(budget.charge(Resource::WorkUnits, 1));
  auto result = calculator.evaluate_expression_with_budget(pool, root);
  if (!result) return std::unexpected(std::move(result.error()));
  KAVELO_TRY(budget.charge(Resource::OutputItems, item_count(*result)));
  results.push_back(std::move(*result));
  return {};
}

}  // namespace

Result<ProgramResult> DiceCalculator::evaluate_program(const Program& program) {
  reset_request();
  KAVELO_TRY(budget_.ensure(Resource::CollectionItems, program.instructions.size()));
  ProgramResult result;
  result.results.reserve(program.instructions.size());
  for (NodeId root : program.instructions) {
    if (trace_ != nullptr) [[unlikely]]
      trace_->instruction_starts_.push_back(trace_->terms_.size());
    KAVELO_TRY(evaluate_item(*this, program.pool, root, result.results));
  }
  result.comment = program.comment;
  KAVELO_TRY(ensure_generator());
  KAVELO_TRY(budget_.charge(Resource::OutputBytes, evaluated_length(result)));
  return result;
}

Result<std::vector<DiceResult>> DiceCalculator::evaluate_batch(const Expression& expression,
                                                               std::uint64_t times) {
  reset_request();
  KAVELO_TRY(budget_.charge(Resource::BatchSamples, times));
  KAVELO_TRY(budget_.ensure(Resource::CollectionItems, times));
  std::vector<DiceResult> results;
  results.reserve(static_cast<std::size_t>(times));
  // Every sample has the expression text and the comment of the first: the evaluator
  // writes them for the first sample only and leaves them out of the others, which are
  // measured with the first one's length of them and given copies at the end. The
  // canonical length of the list is kept as the samples come: "[" and "]", each record,
  // a "," between two. Once it is more than output_bytes has room for, the final charge
  // can only fail, and with exactly the finished length as its request; from then on a
  // sample is measured and dropped instead of kept, so a batch holds about one
  // output_bytes limit of records however many samples repeat a long comment or a large
  // tree. Every sample still runs, so the error of a later sample still wins.
  const std::uint64_t room =
      budget_.limit(Resource::OutputBytes) - budget_.used(Resource::OutputBytes);
  std::uint64_t length = kJsonBracketsLength;
  std::uint64_t shared_length = 0;  // JSON length of the expression and comment left out
  bool dropped = false;
  for (std::uint64_t i = 0; i < times; ++i) {
    KAVELO_TRY(evaluate_item(*this, expression.pool, expression.root, results));
    const DiceResult& record = results.back();
    std::uint64_t record_length = evaluated_length(record);
    if (omit_shared_texts_) {
      // Counted as an empty expression ("") and no comment (null).
      record_length = record_length - kJsonEmptyStringLength - kJsonNullLength + shared_length;
    } else {
      shared_length = kJsonEmptyStringLength + record.expression.size() +
                      (record.comment ? json_string_length(*record.comment) : kJsonNullLength);
      omit_shared_texts_ = true;
    }
    length = saturating_add(length, saturating_add(record_length, i > 0 ? kJsonCommaLength : 0));
    if (length > room) {
      results.clear();
      dropped = true;
    }
  }
  if (!dropped) {
    for (std::size_t i = 1; i < results.size(); ++i) {
      results[i].expression = results.front().expression;
      results[i].comment = results.front().comment;
    }
  }
  KAVELO_TRY(ensure_generator());
  KAVELO_TRY(budget_.charge(Resource::OutputBytes, length));
  return results;
}

}  // namespace kavelo
