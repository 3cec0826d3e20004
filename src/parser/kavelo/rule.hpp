// The thirty rules of the dice grammar. The declaration order is fixed: syntax error
// reports list expected rules sorted by it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kavelo::grammar {

enum class Rule : std::uint8_t {
  Eoi,
  Whitespace,
  Number,
  Comment,
  Program,
  Instruction,
  InstructionSeparator,
  DiceExpr,
  DiceTerm,
  ParenExpr,
  DiceRoll,
  DiceSides,
  Modifiers,
  Modifier,
  Explode,
  ExplodeAlias,
  ExplodeKeepHigh,
  Reroll,
  RerollOnce,
  RerollUntil,
  RerollAdd,
  KeepAlias,
  KeepHigh,
  KeepLow,
  DropHigh,
  DropLow,
  Unique,
  Sort,
  Count,
  Op,
};

// Op is the last rule.
inline constexpr std::size_t kRuleCount = static_cast<std::size_t>(Rule::Op) + 1;

// How the grammar names each rule, in rule order; used in "expected ..." messages.
inline constexpr auto RULE_NAMES = std::to_array<std::string_view>({
    "EOI",          "WHITESPACE",    "number",       "comment",     "program",
    "instruction",  "instruction_separator", "dice_expr", "dice_term", "paren_expr",
    "dice_roll",    "dice_sides",    "modifiers",    "modifier",    "explode",
    "explode_alias", "explode_keep_high", "reroll",  "reroll_once", "reroll_until",
    "reroll_add",   "keep_alias",    "keep_high",    "keep_low",    "drop_high",
    "drop_low",     "unique",        "sort",         "count",       "op",
});
static_assert(RULE_NAMES.size() == kRuleCount, "one name per rule");

constexpr std::string_view rule_name(Rule rule) noexcept {
  return RULE_NAMES[static_cast<std::size_t>(rule)];
}

// Silent rules make no parse-tree node and are never named in a report.
constexpr bool rule_is_silent(Rule rule) noexcept {
  return rule == Rule::Whitespace || rule == Rule::InstructionSeparator;
}

// Atomic rules: no implicit whitespace inside, and the rules they call make no nodes.
constexpr bool rule_is_atomic(Rule rule) noexcept {
  return rule == Rule::Number || rule == Rule::Comment || rule == Rule::DiceSides;
}

}  // namespace kavelo::grammar
