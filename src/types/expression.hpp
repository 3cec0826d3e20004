// The syntax tree of dice text.
//
// Nodes live in one contiguous pool and refer to their children by index, so building a
// tree costs a handful of allocations, and counting or destroying a tree of any depth
// needs no recursion. Every node is added after all of its descendants and nothing else
// is added in between, so the subtree of a node is the contiguous index range
// [node.first, node's own index].
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "types/modifier_table.hpp"

namespace kavelo {

// Alternatives of an expression, in their fixed order.
enum class ExprKind : std::uint8_t {
  Number,
  Dice,
  Add,
  Subtract,
  Multiply,
  Divide,
  Power,
  Paren,
  Commented,
};

struct DiceModifier {
  ModifierKind kind = ModifierKind::Explode;
  std::int32_t value = 0;  // ignored by the kinds that take none

  friend bool operator==(const DiceModifier&, const DiceModifier&) = default;
};

// A dice term as the roller sees it: count, sides and a view of the modifier list.
struct DiceTerm {
  std::int32_t count = 0;
  std::int32_t sides = 0;
  std::span<const DiceModifier> modifiers;
};

using NodeId = std::uint32_t;

struct ExprNode {
  ExprKind kind = ExprKind::Number;
  NodeId first = 0;                   // lowest index of this node's subtree
  NodeId left = 0;                    // Add..Power: left operand; Paren: inner; Commented: expr
  NodeId right = 0;                   // Add..Power: right operand; Commented: index of its comment
  std::int64_t value = 0;             // Number
  std::int32_t count = 0;             // Dice
  std::int32_t sides = 0;             // Dice
  std::uint32_t modifiers_begin = 0;  // Dice: first modifier in the pool
  std::uint32_t modifiers_count = 0;  // Dice: number of modifiers
};

class ExpressionPool {
 public:
  [[nodiscard]] NodeId add_number(std::int64_t value);
  // Modifiers for the next dice node are appended first, then add_dice takes every
  // modifier appended since `modifiers_begin`.
  void add_modifier(DiceModifier modifier) { modifiers_.push_back(modifier); }
  [[nodiscard]] std::uint32_t modifier_mark() const noexcept {
    return static_cast<std::uint32_t>(modifiers_.size());
  }
  [[nodiscard]] NodeId add_dice(std::int32_t count, std::int32_t sides,
                                std::uint32_t modifiers_begin);
  [[nodiscard]] NodeId add_dice(std::int32_t count, std::int32_t sides,
                                std::span<const DiceModifier> modifiers);
  // kind is one of Add, Subtract, Multiply, Divide, Power; both operands already added.
  [[nodiscard]] NodeId add_binary(ExprKind kind, NodeId left, NodeId right);
  [[nodiscard]] NodeId add_paren(NodeId inner);
  [[nodiscard]] NodeId add_commented(NodeId expr, std::optional<std::string> comment);

  [[nodiscard]] const ExprNode& node(NodeId id) const noexcept { return nodes_[id]; }
  [[nodiscard]] std::size_t size() const noexcept { return nodes_.size(); }
  [[nodiscard]] DiceTerm dice(const ExprNode& node) const noexcept {
    return {node.count, node.sides,
            std::span<const DiceModifier>(modifiers_.data() + node.modifiers_begin,
                                          node.modifiers_count)};
  }
  [[nodiscard]] const std::optional<std::string>& comment(const ExprNode& node) const noexcept {
    return comments_[node.right];
  }

  void reserve(std::size_t nodes) { nodes_.reserve(nodes); }
  // Drops nodes from `mark` on (the builder's roll-back after a failed instruction).
  void truncate(std::size_t node_mark, std::uint32_t modifier_mark);

 private:
  NodeId push(const ExprNode& node);

  std::vector<ExprNode> nodes_;
  std::vector<DiceModifier> modifiers_;
  std::vector<std::optional<std::string>> comments_;
};

// Number of syntax-tree nodes of the tree rooted at `root`: one per node, plus one per
// modifier of every Dice node; saturating.
[[nodiscard]] std::uint64_t expression_ast_nodes(const ExpressionPool& pool, NodeId root) noexcept;

// One expression: a pool and the root of its tree.
struct Expression {
  ExpressionPool pool;
  NodeId root = 0;
};

// A whole program: instruction trees in source order, sharing one pool, and its comment.
struct Program {
  ExpressionPool pool;
  std::vector<NodeId> instructions;
  std::optional<std::string> comment;
};

}  // namespace kavelo
