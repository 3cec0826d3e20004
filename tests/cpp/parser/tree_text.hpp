// Compact text forms of parse trees and syntax trees, so that tests can state a whole
// tree shape in one string.
#pragma once

#include <ostream>
#include <string>

#include "errors/dice_error.hpp"

#include "parser/kavelo/parse_tree.hpp"
#include "types/expression.hpp"

namespace kavelo {

// Failed comparisons of errors show their text.
inline void PrintTo(const DiceError& error, std::ostream* out) { *out << error.display(); }

}  // namespace kavelo

namespace kavelo::testing {

// Test texts with control characters escaped, for readable test names and messages.
inline std::string escaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default: out += c;
    }
  }
  return out;
}

// rule[children] for inner nodes, rule:'text' for nodes without children.
inline std::string parse_tree_text(const grammar::ParseTree& tree, grammar::ParseNodeId id) {
  std::string out(grammar::rule_name(tree.rule(id)));
  if (!tree.has_children(id)) return out + ":'" + std::string(tree.text(id)) + "'";
  out += '[';
  for (auto c = tree.first_child(id); c != tree.end_of_children(id); c = tree.next_sibling(c)) {
    if (c != tree.first_child(id)) out += ' ';
    out += parse_tree_text(tree, c);
  }
  return out + ']';
}

inline const char* modifier_name(ModifierKind kind) {
  static const char* const names[] = {
      "Explode",     "ExplodeAlias", "ExplodeKeepHigh", "Reroll",   "RerollOnce",
      "RerollUntil", "RerollAdd",    "KeepAlias",       "KeepHigh", "KeepLow",
      "DropHigh",    "DropLow",      "Unique",          "Sort",     "Count"};
  return names[static_cast<int>(kind)];
}

// Add(l,r), Paren(x), Commented(x,'text'), Dice(count,sides[,Kind value...]), or the number.
inline std::string expression_text(const ExpressionPool& pool, NodeId id) {
  const ExprNode& node = pool.node(id);
  switch (node.kind) {
    case ExprKind::Number: return std::to_string(node.value);
    case ExprKind::Dice: {
      std::string out = "Dice(" + std::to_string(node.count) + "," + std::to_string(node.sides);
      for (const DiceModifier& m : pool.dice(node).modifiers) {
        out += ",";
        out += modifier_name(m.kind);
        if (modifier_takes_value(m.kind)) {
          // Appended piece by piece: `" " + std::to_string(...)` draws a false -Wrestrict
          // from g++ 12.
          out += ' ';
          out += std::to_string(m.value);
        }
      }
      return out + ")";
    }
    case ExprKind::Paren: return "Paren(" + expression_text(pool, node.left) + ")";
    case ExprKind::Commented: {
      const auto& comment = pool.comment(node);
      return "Commented(" + expression_text(pool, node.left) + ",'" +
             (comment ? *comment : std::string("<none>")) + "')";
    }
    default: {
      static const char* const names[] = {"", "", "Add", "Subtract", "Multiply", "Divide", "Power"};
      return std::string(names[static_cast<int>(node.kind)]) + "(" +
             expression_text(pool, node.left) + "," + expression_text(pool, node.right) + ")";
    }
  }
}

}  // namespace kavelo::testing
