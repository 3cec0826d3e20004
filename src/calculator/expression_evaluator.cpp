// Evaluation of expression trees: checked arithmetic from left to right, one work unit
// and one nesting level per node.
//
// Only the root's detail text, expression text and comment are ever observable (a
// binary node's details show its operands' totals, not their details), so they are
// produced for the root alone: details while evaluating the chain of nodes that pass
// their result through unchanged (Paren, Commented), the expression text by one walk
// after a successful evaluation. Roll groups are appended to one list in evaluation
// order, which is exactly "left groups, then right groups" at every binary node.
#include <charconv>
#include <cstring>
#include <string_view>

#include "calculator/checked_arithmetic.hpp"
#include "calculator/dice_calculator.hpp"
#include "types/canonical_json.hpp"

namespace kavelo {

namespace {

// Formats into a stack buffer and hands the text to the string in large pieces, so a
// short text reaches its string in one append (one allocation at most) instead of
// growing it piece by piece.
class TextSink {
 public:
  explicit TextSink(std::string& out) noexcept : out_(out) {}
  TextSink(const TextSink&) = delete;
  TextSink& operator=(const TextSink&) = delete;
  ~TextSink() { flush(); }

  void put_char(char c) {
    make_room(1);
    *end_++ = c;
  }
  void put_text(std::string_view text) {
    if (text.size() > kSize / 2) {
      flush();
      out_.append(text);
      return;
    }
    make_room(text.size());
    std::memcpy(end_, text.data(), text.size());
    end_ += text.size();
  }
  void put_number(std::int64_t value) {
    make_room(20);
    end_ = std::to_chars(end_, end_ + 20, value).ptr;
  }
  void flush() {
    out_.append(buffer_, static_cast<std::size_t>(end_ - buffer_));
    end_ = buffer_;
  }

 private:
  static constexpr std::size_t kSize = 256;

  void make_room(std::size_t n) {
    if (static_cast<std::size_t>(buffer_ + kSize - end_) < n) flush();
  }

  std::string& out_;
  char buffer_[kSize];
  char* end_ = buffer_;
};

std::string_view operator_symbol(ExprKind kind) {
  switch (kind) {
    case ExprKind::Add: return "+";
    case ExprKind::Subtract: return "-";
    case ExprKind::Multiply: return "*";
    case ExprKind::Divide: return "/";
    default: return "^";
  }
}

// Appends the groups as "[[6], [5], [3]]". Written straight into the string, sized once
// for the longest possible text: this runs over every value of a roll.
void append_groups_text(std::string& out, const RollGroups& groups) {
  // Per value at most 20 digits and ", "; per group "[" and "]"; the outer brackets.
  const std::size_t bound = 2 + groups.value_count() * 22 + groups.group_count() * 2;
  const std::size_t start = out.size();
  out.resize_and_overwrite(start + bound, [&](char* text, std::size_t) {
    char* p = text + start;
    *p++ = '[';
    const std::span<const std::int64_t> values = groups.values();
    auto put_value = [](char* q, std::int64_t value) {
      if (value >= 0 && value < 10) {
        *q = static_cast<char>('0' + value);
        return q + 1;
      }
      return std::to_chars(q, q + 20, value).ptr;
    };
    if (groups.all_singletons()) {
      // The common shape (no explosions, or after any pool modifier): "[v], [v], ...".
      for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0) {
          std::memcpy(p, ", [", 3);
          p += 3;
        } else {
          *p++ = '[';
        }
        p = put_value(p, values[i]);
        *p++ = ']';
      }
      *p++ = ']';
      return static_cast<std::size_t>(p - text);
    }
    for (std::size_t g = 0; g < groups.group_count(); ++g) {
      if (g > 0) {
        *p++ = ',';
        *p++ = ' ';
      }
      *p++ = '[';
      const std::size_t end = groups.group_end(g);
      for (std::size_t i = groups.group_begin(g); i < end; ++i) {
        if (i > groups.group_begin(g)) {
          *p++ = ',';
          *p++ = ' ';
        }
        p = put_value(p, values[i]);
      }
      *p++ = ']';
    }
    *p++ = ']';
    return static_cast<std::size_t>(p - text);
  });
}

// The rebuilt expression text: numbers, "count d sides", and binary nodes as
// "(left) op (right)". Recursion is bounded by the nesting limit the evaluation passed.
void put_expression_text(TextSink& out, const ExpressionPool& pool, NodeId id) {
  const ExprNode& node = pool.node(id);
  switch (node.kind) {
    case ExprKind::Number:
      out.put_number(node.value);
      return;
    case ExprKind::Dice:
      out.put_number(node.count);
      out.put_char('d');
      out.put_number(node.sides);
      return;
    case ExprKind::Paren:
    case ExprKind::Commented:
      put_expression_text(out, pool, node.left);
      return;
    default:
      out.put_char('(');
      put_expression_text(out, pool, node.left);
      out.put_text(") ");
      out.put_text(operator_symbol(node.kind));
      out.put_text(" (");
      put_expression_text(out, pool, node.right);
      out.put_char(')');
      return;
  }
}

}  // namespace

class ExpressionEvaluator {
 public:
  ExpressionEvaluator(DiceCalculator& calculator, const ExpressionPool& pool) noexcept
      : calculator_(calculator), pool_(pool) {}

  // Evaluates the node; `is_root` is true along the chain of nodes whose result is the
  // result of the whole evaluation.
  [[nodiscard]] Result<std::int64_t> evaluate(NodeId id, bool is_root) {
    std::uint64_t& depth = calculator_.nesting_depth_;
    std::uint64_t limit = calculator_.budget_.limit(Resource::nesting_depth);
    if (depth >= limit) return depth_exceeded(depth, limit);
    ++depth;
    Result<std::int64_t> total = evaluate_node(id, is_root);
    if (depth > 0) --depth;
    return total;
  }

  // The record of a successful evaluation rooted at `root`.
  [[nodiscard]] DiceResult finish(NodeId root, std::int64_t total) {
    DiceResult result;
    if (!calculator_.omit_shared_texts_) {
      TextSink expression(result.expression);
      put_expression_text(expression, pool_, root);
    }
    result.total = total;
    result.rolls = std::move(rolls_);
    result.details = std::move(details_);
    if (comment_ != nullptr && !calculator_.omit_shared_texts_) result.comment = *comment_;
    return result;
  }

 private:
  [[nodiscard]] Result<std::int64_t> evaluate_node(NodeId id, bool is_root) {
    if (!calculator_.budget_.try_charge(Resource::work_units, 1)) return work_exceeded();
    const ExprNode& node = pool_.node(id);
    switch (node.kind) {
      case ExprKind::Number:
        if (is_root) put_root_number(node.value);
        return node.value;
      case ExprKind::Dice:
        return evaluate_dice(node, is_root);
      case ExprKind::Paren:
        return evaluate(node.left, is_root);
      case ExprKind::Commented: {
        auto total = evaluate(node.left, is_root);
        if (total && is_root) {
          const auto& comment = pool_.comment(node);
          comment_ = comment ? &*comment : nullptr;
        }
        return total;
      }
      default:
        return evaluate_binary(node, is_root);
    }
  }

  [[gnu::noinline]] Result<std::int64_t> evaluate_dice(const ExprNode& node, bool is_root) {
    DiceTerm term = pool_.dice(node);
    auto groups = calculator_.roll_dice_with_budget(term);
    if (!groups) return std::unexpected(std::move(groups.error()));
    std::int64_t total = 0;
    for (std::int64_t value : groups->values()) {
      if (__builtin_add_overflow(total, value, &total)) {
        return std::unexpected(DiceError::arithmetic_overflow("dice result aggregation"));
      }
    }
    if (is_root) {
      TextSink details(details_);
      details.put_number(term.count);
      details.put_char('d');
      details.put_number(term.sides);
      details.put_text(DiceCalculator::modifiers_to_string(term.modifiers));
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

  [[nodiscard]] Result<std::int64_t> evaluate_binary(const ExprNode& node, bool is_root) {
    auto left = evaluate(node.left, false);
    if (!left) return left;
    auto right = evaluate(node.right, false);
    if (!right) return right;
    return combine(node.kind, *left, *right, is_root);
  }

  // The recursion runs through evaluate, evaluate_node and evaluate_binary, up to the
  // nesting limit (128 at most) deep, on whatever stack the caller's thread has. Their
  // frames stay small because everything that needs sizable locals (error values, texts,
  // the dice roll) lives in these non-inlined helpers, which run at the leaves only.
  [[gnu::noinline, gnu::cold]] static Result<std::int64_t> depth_exceeded(std::uint64_t depth,
                                                                         std::uint64_t limit) {
    return std::unexpected(DiceError::budget_exceeded("nesting_depth", depth, 1, limit));
  }

  [[gnu::noinline, gnu::cold]] Result<std::int64_t> work_exceeded() const {
    return std::unexpected(calculator_.budget_.exceeded(Resource::work_units, 1));
  }

  // A number at the root is its own details.
  [[gnu::noinline]] void put_root_number(std::int64_t value) { TextSink(details_).put_number(value); }

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
  auto total = evaluator.evaluate(node, true);
  if (!total) return std::unexpected(std::move(total.error()));
  return evaluator.finish(node, *total);
}

Result<DiceResult> DiceCalculator::evaluate_expression(const Expression& expression) {
  reset_request();
  KAVELO_TRY(budget_.charge(Resource::executed_instructions, 1));
  KAVELO_TRY(budget_.charge(Resource::work_units, 1));
  auto result = evaluate_expression_with_budget(expression.pool, expression.root);
  if (!result) return result;
  // Every request consults the entropy source once, even when it rolled no dice.
  KAVELO_TRY(ensure_generator());
  KAVELO_TRY(budget_.charge(Resource::output_items, item_count(*result)));
  KAVELO_TRY(budget_.charge(Resource::output_bytes, canonical_length(*result)));
  return result;
}

}  // namespace kavelo
