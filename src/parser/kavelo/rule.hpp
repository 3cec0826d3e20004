// The thirty rules of the dice grammar. The declaration order is fixed: syntax error
// reports list expected rules sorted by it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kavelo::grammar {

enum class Rule : std::uint8_t {
  EOI,
  WHITESPACE,
  number,
  comment,
  program,
  instruction,
  instruction_separator,
  dice_expr,
  dice_term,
  paren_expr,
  dice_roll,
  dice_sides,
  modifiers,
  modifier,
  explode,
  explode_alias,
  explode_keep_high,
  reroll,
  reroll_once,
  reroll_until,
  reroll_add,
  keep_alias,
  keep_high,
  keep_low,
  drop_high,
  drop_low,
  unique,
  sort,
  count,
  op,
};

inline constexpr std::size_t kRuleCount = 30;

// Display names, exactly as the enumerators are spelt; used in "expected ..." messages.
inline constexpr std::array<std::string_view, kRuleCount> RULE_NAMES{
    "EOI",          "WHITESPACE",    "number",       "comment",     "program",
    "instruction",  "instruction_separator", "dice_expr", "dice_term", "paren_expr",
    "dice_roll",    "dice_sides",    "modifiers",    "modifier",    "explode",
    "explode_alias", "explode_keep_high", "reroll",  "reroll_once", "reroll_until",
    "reroll_add",   "keep_alias",    "keep_high",    "keep_low",    "drop_high",
    "drop_low",     "unique",        "sort",         "count",       "op",
};

constexpr std::string_view rule_name(Rule rule) noexcept {
  return RULE_NAMES[static_cast<std::size_t>(rule)];
}

// Silent rules make no parse-tree node and are never named in a report.
constexpr bool rule_is_silent(Rule rule) noexcept {
  return rule == Rule::WHITESPACE || rule == Rule::instruction_separator;
}

// Atomic rules: no implicit whitespace inside, and the rules they call make no nodes.
constexpr bool rule_is_atomic(Rule rule) noexcept {
  return rule == Rule::number || rule == Rule::comment || rule == Rule::dice_sides;
}

}  // namespace kavelo::grammar
