// Evaluation of expression trees: checked arithmetic from left to right, one work unit
// and one nesting level per node.
//
// Only the root's detail text, expression text and comment are ever observable (a
// binary node's details show its operands' totals, not their details), so they are
// produced for the root alone: details while evaluating the chain of nodes that pass
// their result through unchanged (Paren, Commented), the expression text by one walk
// after a successful evaluation. Roll groups are appended to one list in evaluation
// order, which is exactly "left groups, then right groups" at every binary node.
#include <string_view>

#include "calculator/checked_arithmetic.hpp"
#include "calculator/detail_text.hpp"
#include "calculator/dice_calculator.hpp"
#include "types/canonical_json.hpp"

namespace kavelo {

namespace {

// The rebuilt expression text: numbers, "count d sides", and binary nodes as
// "(left) op (right)". Walked with a stack of binary nodes in `frames` (room for as many
// as the tree is deep), so the thread's own stack is not used in proportion to the
// depth of the tree.
void put_expression_text(TextSink& out, const ExpressionPool& pool, NodeId root,
                         EvaluationFrame* frames) {
  EvaluationFrame* top = frames;
  NodeId id = root;
  for (;;) {
    // Down the left side to a leaf, opening every binary node on the way.
    for (;;) {
      const ExprNode& node = pool.node(id);
      if (node.kind == ExprKind::Paren || node.kind == ExprKind::Commented) {
        id = node.left;
      } else if (node.kind == ExprKind::Number || node.kind == ExprKind::Dice) {
        break;
      } else {
        out.put_char('(');
        *top++ = EvaluationFrame{node.right, node.kind, false, false, 0};
        id = node.left;
      }
    }
    const ExprNode& leaf = pool.node(id);
    if (leaf.kind == ExprKind::Number) {
      out.put_number(leaf.value);
    } else {
      out.put_number(leaf.count);
      out.put_char('d');
      out.put_number(leaf.sides);
    }
    // Up through every binary node whose right operand is done; at the first whose left
    // operand is done, write the operator and go down its right operand.
    for (;;) {
      if (top == frames) return;
      EvaluationFrame& frame = top[-1];
      if (!frame.right) {
        out.put_text(") ");
        out.put_text(operator_symbol(frame.kind));
        out.put_text(" (");
        frame.right = true;
        id = frame.operand;
        break;
      }
      out.put_char(')');
      --top;
    }
  }
}

}  // namespace

class ExpressionEvaluator {
 public:
  ExpressionEvaluator(DiceCalculator& calculator, const ExpressionPool& pool) noexcept
      : calculator_(calculator), pool_(pool) {}

  // Evaluates the tree under `root`, whose result is the result of the whole evaluation.
  // The walk keeps its own stack of the binary, Paren and Commented nodes being
  // evaluated, so it needs the same small part of the thread's stack at any depth. Every
  // node is entered in the order of a recursive left-to-right walk: its nesting level
  // is checked and its work unit charged on entry, before its operands. On failure the
  // nesting depth goes back to what it was.
  [[nodiscard]] Result<std::int64_t> evaluate(NodeId root) {
    const std::uint64_t start_depth = calculator_.nesting_depth_;
    Result<std::int64_t> total = walk(root);
    calculator_.nesting_depth_ = start_depth;
    return total;
  }

  // The record of a successful evaluation rooted at `root`.
  [[nodiscard]] DiceResult finish(NodeId root, std::int64_t total) {
    DiceResult result;
    if (!calculator_.omit_shared_texts_) {
      TextSink expression(result.expression);
      put_expression_text(expression, pool_, root, frames(calculator_));
    }
    result.total = total;
    result.rolls = std::move(rolls_);
    result.details = std::move(details_);
    if (comment_ != nullptr && !calculator_.omit_shared_texts_) result.comment = *comment_;
    return result;
  }

 private:
  // Room for a stack as deep as the nesting limit admits.
  static EvaluationFrame* frames(DiceCalculator& calculator) {
    return calculator.frames_.reserve(calculator.budget_.limit(Resource::NestingDepth));
  }

  // `is_root` is true along the chain of nodes whose result is the root's (the root and
  // the Paren and Commented nodes below it): only they write details and the comment.
  [[nodiscard]] Result<std::int64_t> walk(NodeId id) {
    std::uint64_t& depth = calculator_.nesting_depth_;
    const std::uint64_t limit = calculator_.budget_.limit(Resource::NestingDepth);
    EvaluationFrame* const bottom = frames(calculator_);
    EvaluationFrame* top = bottom;
    bool is_root = true;
    for (;;) {
      // Enter `id`, then go down its first operand until a leaf gives a total.
      if (depth >= limit) return depth_exceeded(depth, limit);
      ++depth;
      if (!calculator_.budget_.try_charge(Resource::WorkUnits, 1)) return work_exceeded();
      const ExprNode& node = pool_.node(id);
      std::int64_t value = 0;
      if (node.kind == ExprKind::Number) {
        if (is_root) put_root_number(node.value);
        value = node.value;
      } else if (node.kind == ExprKind::Dice) {
        Result<std::int64_t> total = evaluate_dice(node, is_root);
        if (!total) return total;
        value = *total;
      } else {
        const bool commented = node.kind == ExprKind::Commented;
        *top++ = EvaluationFrame{commented ? id : node.right, node.kind, is_root, false, 0};
        if (!commented && node.kind != ExprKind::Paren) is_root = false;
        id = node.left;
        continue;
      }
      // Leave the leaf and every node that its total completes; stop at a binary node
      // whose right operand is still to be evaluated.
      for (;;) {
        --depth;
        if (top == bottom) return value;
        EvaluationFrame& frame = top[-1];
        if (frame.kind == ExprKind::Commented) {
          if (frame.is_root) note_comment(pool_.node(frame.operand));
        } else if (frame.kind != ExprKind::Paren) {
          if (!frame.right) {
            frame.right = true;
            frame.left = value;
            id = frame.operand;
            is_root = false;
            break;
          }
          Result<std::int64_t> combined = combine(frame.kind, frame.left, value, frame.is_root);
          if (!combined) return combined;
          value = *combined;
        }
        --top;
      }
    }
  }

  // The comment of a Commented node on the root chain becomes the result's comment.
  void note_comment(const ExprNode& node) {
    const auto& comment = pool_.comment(node);
    comment_ = comment ? &*comment : nullptr;
  }

  [[gnu::noinline]] Result<std::int64_t> evaluate_dice(const ExprNode& node, bool is_root) {
    DiceTerm term = pool_.dice(node);
    auto groups = calculator_.roll_dice_with_budget(term);
    if (!groups) return std::unexpected(std::move(groups.error()));
    const auto summed = checked_sum(groups->values(), "dice result aggregation");
    if (!summed) return std::unexpected(summed.error());
    const std::int64_t total = *summed;
    if (is_root) {
      TextSink details(details_);
      details.put_number(term.count);
      details.put_char('d');
      details.put_number(term.sides);
      details.put_text(calculator_.modifier_text(term.modifiers));
      details.put_text(" = ");
      details.put_number(total);
      details.put_text(" (详情: ");
      details.flush();
      append_groups_text(details_, *groups);
      details_.push_back(')');
    }
    if (rolls_.empty()) {
      rolls_ = std::move(*groups);
    } else {
      rolls_.append(*groups);
    }
    return total;
  }

  // Error values, texts and the dice roll live in these non-inlined helpers, which keeps
  // the walk's own loop small and free of their locals.
  [[gnu::noinline, gnu::cold]] static Result<std::int64_t> depth_exceeded(std::uint64_t depth,
                                                                          std::uint64_t limit) {
    return std::unexpected(
        DiceError::budget_exceeded(name_of(Resource::NestingDepth), depth, 1, limit));
  }

  [[gnu::noinline, gnu::cold]] Result<std::int64_t> work_exceeded() const {
    return std::unexpected(calculator_.budget_.exceeded(Resource::WorkUnits, 1));
  }

  // A number at the root is its own details.
  [[gnu::noinline]] void put_root_number(std::int64_t value) {
    TextSink(details_).put_number(value);
  }

  // The total of a binary node from its operands' totals, and the root's details.
  [[gnu::noinline]] Result<std::int64_t> combine(ExprKind kind, std::int64_t left,
                                                 std::int64_t right, bool is_root) {
    Result<std::int64_t> total;
    switch (kind) {
      case ExprKind::Add: total = checked_add(left, right, "addition"); break;
      case ExprKind::Subtract: total = checked_subtract(left, right); break;
      case ExprKind::Multiply: total = checked_multiply(left, right, "multiplication"); break;
      case ExprKind::Divide: total = checked_divide(left, right); break;
      default: total = checked_power(left, right); break;
    }
    if (total && is_root) {
      TextSink details(details_);
      details.put_number(left);
      details.put_char(' ');
      details.put_text(operator_symbol(kind));
      details.put_char(' ');
      details.put_number(right);
      details.put_text(" = ");
      details.put_number(*total);
    }
    return total;
  }

  DiceCalculator& calculator_;
  const ExpressionPool& pool_;
  RollGroups rolls_;
  std::string details_;
  const std::string* comment_ = nullptr;
};

Result<DiceResult> DiceCalculator::evaluate_expression_with_budget(const ExpressionPool& pool,
                                                                   NodeId node) {
  ExpressionEvaluator evaluator(*this, pool);
  auto total = evaluator.evaluate(node);
  if (!total) return std::unexpected(std::move(total.error()));
  return evaluator.finish(node, *total);
}

Result<DiceResult> DiceCalculator::evaluate_expression(const Expression& expression) {
  reset_request();
  KAVELO_TRY(budget_.charge(Resource::ExecutedInstructions, 1));
  KAVELO_TRY(budget_.charge(Resource::WorkUnits, 1));
  auto result = evaluate_expression_with_budget(expression.pool, expression.root);
  if (!result) return result;
  // Every request consults the entropy source once, even when it rolled no dice.
  KAVELO_TRY(ensure_generator());
  KAVELO_TRY(budget_.charge(Resource::OutputItems, item_count(*result)));
  KAVELO_TRY(budget_.charge(Resource::OutputBytes, evaluated_length(*result)));
  return result;
}

}  // namespace kavelo
