// The evaluator object: a policy plus the state of the request it is running (budget,
// generator slot, nesting depth). Every request entry starts with a reset, so one
// calculator can serve several requests one after another; only the policy survives.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "errors/dice_error.hpp"
#include "random/entropy.hpp"
#include "random/request_random.hpp"
#include "resource/execution_budget.hpp"
#include "resource/resource_policy.hpp"
#include "types/dice_result.hpp"
#include "types/expression.hpp"
#include "types/roll_groups.hpp"

namespace kavelo {

class RollTrace;

// One node being evaluated or written out by the iterative walks over a tree: a binary
// node waiting for its right operand, or a Paren or Commented node for its inner one.
struct EvaluationFrame {
  NodeId operand = 0;  // binary: the right operand; Commented: the node itself
  ExprKind kind = ExprKind::Add;
  bool is_root = false;   // on the chain of nodes whose result is the whole result
  bool right = false;     // its right operand has been started
  std::int64_t left = 0;  // the total of its left operand, once known
};

// Room for the walks' own stack. A walk never holds more frames than the nesting limit
// admits levels, so it takes room for that many at its start and pushes and pops without
// further checks. The frames of the default limit's depth stay inside the object, so
// most requests allocate nothing for them; deeper limits (up to the hard maximum) use
// the heap.
class FrameBuffer {
 public:
  FrameBuffer() noexcept {}  // the inline frames are left unset: a walk writes each before use

  [[nodiscard]] EvaluationFrame* reserve(std::uint64_t frames) {
    if (frames <= kInline) return inline_.frames;
    if (heap_.size() < frames) heap_.resize(static_cast<std::size_t>(frames));
    return heap_.data();
  }

 private:
  static constexpr std::size_t kInline = 32;
  // A union, so that making a calculator does not set 32 frames it may never use.
  union Inline {
    Inline() noexcept {}
    EvaluationFrame frames[kInline];
  } inline_;
  std::vector<EvaluationFrame> heap_;
};

class DiceCalculator {
 public:
  explicit DiceCalculator(const ResourcePolicy& policy,
                          EntropySource entropy = os_entropy()) noexcept;

  // --- request entries (each starts with a request reset) ---

  // Rolls the term and returns the checked sum of its values.
  [[nodiscard]] Result<std::int64_t> roll_simple(const DiceTerm& dice);
  [[nodiscard]] Result<DiceResult> evaluate_expression(const Expression& expression);
  [[nodiscard]] Result<ProgramResult> evaluate_program(const Program& program);
  [[nodiscard]] Result<std::vector<DiceResult>> evaluate_batch(const Expression& expression,
                                                               std::uint64_t times);
  // evaluate_expression that also records every face into `trace` (cleared first), or
  // takes the faces from it when it replays. A replay that needs more faces than it
  // has, meets a face outside its die, or leaves faces over fails (trace.fault()).
  [[nodiscard]] Result<DiceResult> trace_expression(const Expression& expression, RollTrace& trace);
  // evaluate_program recording every instruction into `trace` as trace_expression does,
  // all under the one request's limits; trace.instruction_starts() divides its terms.
  [[nodiscard]] Result<ProgramResult> trace_program(const Program& program, RollTrace& trace);

  // --- steps under the current request state (no reset) ---
  // Public so that the tests can run one step under a prepared request state; the
  // bindings call only the entries above.

  [[nodiscard]] Result<RollGroups> roll_dice_with_budget(const DiceTerm& dice);
  [[nodiscard]] Result<std::uint32_t> roll_face(std::uint32_t sides);
  [[nodiscard]] Status charge_modifier_work(const RollGroups& groups);
  // Counts `scans` group values looked at by the per-die rerolls. Those scans are not
  // charged: the request's scans are compared, all together, with the work_units limit.
  [[nodiscard]] Status count_reroll_scans(std::uint64_t scans);
  [[nodiscard]] Result<DiceResult> evaluate_expression_with_budget(const ExpressionPool& pool,
                                                                   NodeId node);

  // The modifier list written back in its short forms, e.g. "!kh3".
  [[nodiscard]] static std::string modifiers_to_string(std::span<const DiceModifier> modifiers);

  // --- request state, readable for tests ---

  [[nodiscard]] const ResourcePolicy& policy() const noexcept { return policy_; }
  [[nodiscard]] const ExecutionBudget& budget() const noexcept { return budget_; }
  [[nodiscard]] ExecutionBudget& budget() noexcept { return budget_; }
  [[nodiscard]] bool has_generator() const noexcept { return generator_.has_value(); }
  [[nodiscard]] const std::optional<RequestRandom>& generator() const noexcept {
    return generator_;
  }
  [[nodiscard]] std::uint64_t nesting_depth() const noexcept { return nesting_depth_; }

 private:
  friend class ExpressionEvaluator;

  void reset_request() noexcept;
  // modifiers_to_string of a list of the request's tree. Every sample of a batch writes
  // the details of the same roll, so the text of the last list is kept for the request.
  [[nodiscard]] std::string_view modifier_text(std::span<const DiceModifier> modifiers);
  // The pool phase of one term: every pool modifier, each pass charged.
  [[nodiscard]] Status apply_pool_phase(RollGroups& groups,
                                        std::span<const DiceModifier> modifiers);
  // The error of a modifier pass whose work was refused.
  [[gnu::cold, gnu::noinline]] std::unexpected<DiceError> pass_refused(
      const RollGroups& groups) const;
  // Creates the generator if the slot is empty.
  [[nodiscard]] Status ensure_generator();
  // The sum of a term without modifiers, each face added as it is drawn.
  [[nodiscard]] Result<std::int64_t> sum_plain_term(const DiceTerm& dice);
  // roll_dice_with_budget, recording into trace_ when kTraced.
  template <bool kTraced>
  [[nodiscard]] Result<RollGroups> roll_term(const DiceTerm& dice);

  ResourcePolicy policy_;
  ExecutionBudget budget_;
  EntropySource entropy_;
  std::optional<RequestRandom> generator_;
  std::uint64_t nesting_depth_ = 0;
  // Group values scanned by per-die rerolls in this request (see count_reroll_scans).
  std::uint64_t reroll_scans_ = 0;
  // The list whose text modifier_text holds, and that text.
  std::span<const DiceModifier> rendered_modifiers_;
  std::string modifier_text_;
  // The walks' own stack, kept across the samples of a request.
  FrameBuffer frames_;
  // Set by a batch after its first sample: the evaluator then leaves out the expression
  // text and the comment, which are the same in every sample (the batch copies them
  // into the records it returns).
  bool omit_shared_texts_ = false;
  // Set only while trace_expression runs: the roller then records every face.
  RollTrace* trace_ = nullptr;
};

}  // namespace kavelo
