// The expression builder: turns the parse tree of one instruction into syntax-tree nodes.
#include <optional>
#include <stdexcept>

#include "parser/decimal.hpp"
#include "parser/dice_parser.hpp"
#include "parser/modifier_errors.hpp"

namespace kavelo {

namespace {

using grammar::ParseNodeId;
using grammar::ParseTree;
using grammar::Rule;

[[noreturn]] void shape_fault(const char* what) {
  throw std::logic_error(std::string("parse tree does not have the grammar's shape: ") + what);
}

// The modifier of a modifier rule's node.
const ModifierSpec& modifier_of(Rule rule) {
  if (!grammar::is_modifier_rule(rule)) shape_fault("a modifier holds no modifier rule");
  return modifier_spec(grammar::modifier_kind(rule));
}

ExprKind operator_kind(std::string_view text) {
  if (text.size() == 1) {
    switch (text[0]) {
      case '+': return ExprKind::Add;
      case '-': return ExprKind::Subtract;
      case '*': return ExprKind::Multiply;
      case '/': return ExprKind::Divide;
      case '^': return ExprKind::Power;
      default: break;
    }
  }
  shape_fault("an op node holds no operator");
}

// Builds syntax-tree nodes from parse-tree nodes. Parentheses nest as deep as the
// bracket limit allows (256 at most); the builder keeps the dice_expr nodes they open on
// a stack of its own instead of recursing, so the depth of a text costs no thread stack.
// The builders return a node id or kFailed, and the one error of a failed build waits in
// `error_`.
class Builder {
 public:
  static constexpr NodeId kFailed = 0xFFFFFFFFu;

  Builder(const ParseTree& tree, ExpressionPool& pool) noexcept : tree_(tree), pool_(pool) {}

  // dice_term (op dice_term)*, folded to the left.
  NodeId dice_expr(ParseNodeId node) { return build(node, true); }

  // number | paren_expr | dice_roll
  NodeId dice_term(ParseNodeId node) { return build(node, false); }

  // number "d" dice_sides modifiers?; the count is converted before the sides.
  [[gnu::noinline]] NodeId dice_roll(ParseNodeId node) {
    expect(node, Rule::DiceRoll);
    const ParseNodeId end = tree_.end_of_children(node);
    const ParseNodeId count_node = tree_.first_child(node);
    if (count_node == end) shape_fault("a dice_roll without its count");
    expect(count_node, Rule::Number);
    const ParseNodeId sides_node = tree_.next_sibling(count_node);
    if (sides_node == end) shape_fault("a dice_roll without its sides");
    expect(sides_node, Rule::DiceSides);

    const auto count = parse_decimal<std::int32_t>(tree_.text(count_node));
    if (!count) return fail(ErrorId::ParseDiceCount);
    const auto sides = parse_decimal<std::int32_t>(tree_.text(sides_node));
    if (!sides) return fail(ErrorId::ParseDiceSides);

    const std::uint32_t first_modifier = pool_.modifier_mark();
    const ParseNodeId modifiers = tree_.next_sibling(sides_node);
    if (modifiers != end) {
      expect(modifiers, Rule::Modifiers);
      const ParseNodeId modifiers_end = tree_.end_of_children(modifiers);
      for (ParseNodeId m = tree_.first_child(modifiers); m != modifiers_end;
           m = tree_.next_sibling(m)) {
        expect(m, Rule::Modifier);
        const ParseNodeId written = only_child(m);
        const ModifierSpec& spec = modifier_of(tree_.rule(written));
        DiceModifier modifier{spec.kind, 0};
        if (spec.takes_value) {
          const ParseNodeId number = only_child(written);
          expect(number, Rule::Number);
          const auto value = parse_decimal<std::int32_t>(tree_.text(number));
          if (!value) return fail(value_parse_error(spec.kind));
          modifier.value = *value;
        }
        pool_.add_modifier(modifier);
      }
    }
    return pool_.add_dice(*count, *sides, first_modifier);
  }

  // The result of a build that returned `root`.
  Result<NodeId> result(NodeId root) {
    if (root == kFailed) return std::unexpected(std::move(*error_));
    return root;
  }

 private:
  // One dice_expr being folded: the operand built so far, and where its chain stands.
  struct Chain {
    ParseNodeId term = 0;           // the dice_term being built, or the last one built
    ParseNodeId end = 0;            // end of the dice_expr's children
    NodeId left = 0;                // the fold so far
    ExprKind kind = ExprKind::Add;  // the operator before `term`
    bool has_left = false;          // `term` is not the first operand
    bool single = false;            // a lone dice_term, not a dice_expr
  };

  // Builds a dice_expr (`expression`) or a dice_term. Every dice_term is built in text
  // order and every node added after its operands, as a recursive build would add them.
  NodeId build(ParseNodeId node, bool expression) {
    Chain chain;
    if (expression) {
      chain = open_chain(node);
    } else {
      chain.term = node;
      chain.single = true;
    }
    const std::size_t bottom = open_.size();
    for (;;) {
      // Build `chain.term`, or open the dice_expr inside its parentheses.
      expect(chain.term, Rule::DiceTerm);
      const ParseNodeId child = only_child(chain.term);
      if (tree_.rule(child) == Rule::ParenExpr) {
        open_.push_back(chain);
        chain = open_chain(only_child(child));
        continue;
      }
      NodeId built = leaf(child);
      // Fold it in, and close every dice_expr that it ends.
      for (;;) {
        if (built == kFailed) {
          open_.resize(bottom);
          return kFailed;
        }
        chain.left = chain.has_left ? pool_.add_binary(chain.kind, chain.left, built) : built;
        chain.has_left = true;
        if (!chain.single && tree_.next_sibling(chain.term) != chain.end) break;
        if (open_.size() == bottom) return chain.left;
        built = pool_.add_paren(chain.left);
        chain = open_.back();
        open_.pop_back();
      }
      // The op after the operand, then the dice_term after it.
      ParseNodeId next = tree_.next_sibling(chain.term);
      expect(next, Rule::Op);
      chain.kind = operator_kind(tree_.text(next));
      next = tree_.next_sibling(next);
      if (next == chain.end) shape_fault("an op without its right operand");
      chain.term = next;
    }
  }

  // The chain of a dice_expr node, at its first dice_term.
  Chain open_chain(ParseNodeId node) const {
    expect(node, Rule::DiceExpr);
    Chain chain;
    chain.end = tree_.end_of_children(node);
    chain.term = tree_.first_child(node);
    if (chain.term == chain.end) shape_fault("an empty dice_expr");
    return chain;
  }

  // A number or a dice_roll child of a dice_term.
  NodeId leaf(ParseNodeId child) {
    switch (tree_.rule(child)) {
      case Rule::Number: {
        const auto value = parse_decimal<std::int64_t>(tree_.text(child));
        if (!value) return fail(ErrorId::ParseNumber);
        return pool_.add_number(*value);
      }
      case Rule::DiceRoll: return dice_roll(child);
      default: shape_fault("a dice_term holds an unexpected rule");
    }
  }

  [[gnu::noinline]] NodeId fail(ErrorId error) {
    error_.emplace(DiceError::of(error));
    return kFailed;
  }
  void expect(ParseNodeId node, Rule rule) const {
    if (node >= tree_.size() || tree_.rule(node) != rule) shape_fault("unexpected node rule");
  }
  ParseNodeId only_child(ParseNodeId node) const {
    const ParseNodeId child = tree_.first_child(node);
    if (child == tree_.end_of_children(node) ||
        tree_.next_sibling(child) != tree_.end_of_children(node)) {
      shape_fault("a node without exactly one child");
    }
    return child;
  }

  const ParseTree& tree_;
  ExpressionPool& pool_;
  std::optional<DiceError> error_;
  std::vector<Chain> open_;  // the dice_expr chains around the one being built
};

// Runs one build step; on failure the pool goes back to what it held before.
template <class Step>
Result<NodeId> build(const ParseTree& tree, ExpressionPool& pool, Step&& step) {
  const std::size_t node_mark = pool.size();
  const std::uint32_t modifier_mark = pool.modifier_mark();
  Builder builder(tree, pool);
  const NodeId root = step(builder);
  if (root == Builder::kFailed) pool.truncate(node_mark, modifier_mark);
  return builder.result(root);
}

}  // namespace

Result<NodeId> DiceParser::parse_dice_expr(const grammar::ParseTree& tree,
                                           grammar::ParseNodeId node, ExpressionPool& pool) {
  return build(tree, pool, [&](Builder& builder) { return builder.dice_expr(node); });
}

Result<NodeId> DiceParser::parse_dice_term(const grammar::ParseTree& tree,
                                           grammar::ParseNodeId node, ExpressionPool& pool) {
  return build(tree, pool, [&](Builder& builder) { return builder.dice_term(node); });
}

Result<NodeId> DiceParser::parse_dice_roll(const grammar::ParseTree& tree,
                                           grammar::ParseNodeId node, ExpressionPool& pool) {
  return build(tree, pool, [&](Builder& builder) { return builder.dice_roll(node); });
}

}  // namespace kavelo
