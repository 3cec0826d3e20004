// The front end: source text to syntax tree, under the parse limits of a policy.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "errors/dice_error.hpp"
#include "parser/kavelo/parse_tree.hpp"
#include "resource/resource_policy.hpp"
#include "types/expression.hpp"

namespace kavelo {

struct DiceParser {
  // A whole program: instructions separated by ";", optionally one trailing comment.
  [[nodiscard]] static Result<Program> parse_program_with_policy(std::string_view source,
                                                                 const ResourcePolicy& policy);
  // Exactly one instruction; a trailing comment wraps the tree in a Commented node.
  [[nodiscard]] static Result<Expression> parse_expression_with_policy(
      std::string_view source, const ResourcePolicy& policy);

  // ---- Expression builder: parse-tree nodes to syntax-tree nodes ----------------------
  //
  // Each adds the tree it builds to `pool` and returns its root. Operator chains are
  // folded from left to right in a loop; only parentheses recurse. A failure is a
  // ParseError with one of the conversion messages, and leaves `pool` as it was before
  // the call. A parse tree that does not have the grammar's shape is a fault of the
  // program, reported by throwing std::logic_error.

  // A `dice_expr` node.
  [[nodiscard]] static Result<NodeId> parse_dice_expr(const grammar::ParseTree& tree,
                                                      grammar::ParseNodeId node,
                                                      ExpressionPool& pool);
  // A `dice_term` node.
  [[nodiscard]] static Result<NodeId> parse_dice_term(const grammar::ParseTree& tree,
                                                      grammar::ParseNodeId node,
                                                      ExpressionPool& pool);
  // A `dice_roll` node; the result is a Dice node.
  [[nodiscard]] static Result<NodeId> parse_dice_roll(const grammar::ParseTree& tree,
                                                      grammar::ParseNodeId node,
                                                      ExpressionPool& pool);
  // The text of a `comment` node, "#" included: the leading run of "#" is removed, then
  // Unicode white space at both ends. Nothing left gives no comment.
  [[nodiscard]] static std::optional<std::string> parse_comment(std::string_view comment_text);
};

}  // namespace kavelo
