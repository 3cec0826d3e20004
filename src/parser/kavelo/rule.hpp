// The thirty rules of the dice grammar. The declaration order is fixed: syntax error
// reports list expected rules sorted by it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "errors/error_table.hpp"
#include "types/modifier_table.hpp"

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

// The modifier rules, Explode to Count, stand in the order of the modifier kinds: rule
// Explode + i reads the modifier of kind i.
static_assert(static_cast<std::size_t>(Rule::Count) - static_cast<std::size_t>(Rule::Explode) + 1 ==
                  static_cast<std::size_t>(kModifierKindCount),
              "one modifier rule per modifier kind");

constexpr bool is_modifier_rule(Rule rule) noexcept {
  return rule >= Rule::Explode && rule <= Rule::Count;
}
constexpr Rule modifier_rule(ModifierKind kind) noexcept {
  return static_cast<Rule>(static_cast<std::size_t>(Rule::Explode) + modifier_index(kind));
}
// `rule` must be a modifier rule.
constexpr ModifierKind modifier_kind(Rule rule) noexcept {
  return static_cast<ModifierKind>(static_cast<std::size_t>(rule) -
                                   static_cast<std::size_t>(Rule::Explode));
}

// How the grammar names each rule, in rule order; used in "expected ..." messages. The
// modifier rules take their names from the modifier table.
inline constexpr std::array<std::string_view, kRuleCount> RULE_NAMES = [] {
  std::array<std::string_view, kRuleCount> names{"EOI",
                                                 "WHITESPACE",
                                                 "number",
                                                 "comment",
                                                 "program",
                                                 "instruction",
                                                 "instruction_separator",
                                                 "dice_expr",
                                                 "dice_term",
                                                 "paren_expr",
                                                 "dice_roll",
                                                 "dice_sides",
                                                 "modifiers",
                                                 "modifier"};
  for (const ModifierSpec& spec : kModifiers) {
    names[static_cast<std::size_t>(modifier_rule(spec.kind))] = spec.rule_name;
  }
  names[static_cast<std::size_t>(Rule::Op)] = "op";
  return names;
}();
static_assert(
    [] {
      for (const std::string_view name : RULE_NAMES) {
        if (name.empty()) return false;
      }
      return true;
    }(),
    "every rule has a name");

// Error texts in English say what a report expected in player words (kRuleWords).
static_assert(
    [] {
      if (kRuleWords.size() != kRuleCount) return false;
      for (const std::string_view name : RULE_NAMES) {
        if (rule_words(name).empty()) return false;
      }
      return true;
    }(),
    "every rule has its player words in the error table");

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
