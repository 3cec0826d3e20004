#include "types/expression.hpp"

#include <limits>
#include <stdexcept>

#include "resource/execution_budget.hpp"

namespace kavelo {

NodeId ExpressionPool::push(const ExprNode& node) {
  // Node ids are 32-bit; the source-size hard maximum keeps real trees far below this.
  if (nodes_.size() >= std::numeric_limits<NodeId>::max()) {
    throw std::length_error("expression pool is full");
  }
  nodes_.push_back(node);
  return static_cast<NodeId>(nodes_.size() - 1);
}

NodeId ExpressionPool::add_number(std::int64_t value) {
  ExprNode node;
  node.kind = ExprKind::Number;
  node.first = static_cast<NodeId>(nodes_.size());
  node.value = value;
  return push(node);
}

NodeId ExpressionPool::add_dice(std::int32_t count, std::int32_t sides,
                                std::uint32_t modifiers_begin) {
  ExprNode node;
  node.kind = ExprKind::Dice;
  node.first = static_cast<NodeId>(nodes_.size());
  node.count = count;
  node.sides = sides;
  node.modifiers_begin = modifiers_begin;
  node.modifiers_count = static_cast<std::uint32_t>(modifiers_.size()) - modifiers_begin;
  return push(node);
}

NodeId ExpressionPool::add_dice(std::int32_t count, std::int32_t sides,
                                std::span<const DiceModifier> modifiers) {
  std::uint32_t begin = modifier_mark();
  modifiers_.insert(modifiers_.end(), modifiers.begin(), modifiers.end());
  return add_dice(count, sides, begin);
}

NodeId ExpressionPool::add_binary(ExprKind kind, NodeId left, NodeId right) {
  // The operands must be the two subtrees just added, left then right.
  if (right + 1 != nodes_.size() || nodes_[right].first != left + 1) {
    throw std::logic_error("binary operands must be the two most recent subtrees");
  }
  ExprNode node;
  node.kind = kind;
  node.first = nodes_[left].first;
  node.left = left;
  node.right = right;
  return push(node);
}

NodeId ExpressionPool::add_paren(NodeId inner) {
  if (inner + 1 != nodes_.size()) throw std::logic_error("paren inner must be the last subtree");
  ExprNode node;
  node.kind = ExprKind::Paren;
  node.first = nodes_[inner].first;
  node.left = inner;
  return push(node);
}

NodeId ExpressionPool::add_commented(NodeId expr, std::optional<std::string> comment) {
  if (expr + 1 != nodes_.size()) throw std::logic_error("commented expr must be the last subtree");
  ExprNode node;
  node.kind = ExprKind::Commented;
  node.first = nodes_[expr].first;
  node.left = expr;
  node.right = static_cast<NodeId>(comments_.size());
  comments_.push_back(std::move(comment));
  return push(node);
}

void ExpressionPool::truncate(std::size_t node_mark, std::uint32_t modifier_mark) {
  if (node_mark < nodes_.size()) nodes_.resize(node_mark);
  if (modifier_mark < modifiers_.size()) modifiers_.resize(modifier_mark);
}

std::uint64_t expression_ast_nodes(const ExpressionPool& pool, NodeId root) noexcept {
  // The subtree is exactly the index range [first, root]: a flat loop, whatever the depth.
  std::uint64_t total = 0;
  for (NodeId id = pool.node(root).first; id <= root; ++id) {
    const ExprNode& node = pool.node(id);
    total = saturating_add(total, 1);
    if (node.kind == ExprKind::Dice) total = saturating_add(total, node.modifiers_count);
  }
  return total;
}

}  // namespace kavelo
