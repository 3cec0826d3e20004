// The fifteen dice modifiers in one table: what each is written as, whether a number
// follows, the builder's message for a number that does not fit, and when and how it
// acts in a roll. The grammar, the direct parser, the expression builder, the reader of
// modifier strings, the renderer, the roller and the odds all read their modifier
// knowledge from here, so changing a modifier's letters or message is one edit.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kavelo {

// Modifier kinds, in their fixed order: the order of the table below and of the
// grammar's modifier rules.
enum class ModifierKind : std::uint8_t {
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
};

// Count is the last kind.
inline constexpr int kModifierKindCount = static_cast<int>(ModifierKind::Count) + 1;

// When a modifier acts in a roll.
enum class ModifierPhase : std::uint8_t {
  Explode,    // per die: another face while the last one shows the sides
  Reroll,     // per die: the die's group rerolled, in list order
  PoolFirst,  // on the pool of all values, before every other pool modifier
  Pool,       // on the pool of all values, in list order
};

// What a pool modifier makes of the pool; None for the per-die kinds. n is the value.
enum class PoolEffect : std::uint8_t {
  None,
  KeepHighest,  // the n highest values, highest first
  KeepLowest,   // the n lowest values, lowest first
  DropHighest,  // all but the n highest, highest first
  DropLowest,   // all but the n lowest, lowest first
  FirstOfEach,  // the first occurrence of every value, in pool order
  Ascending,    // every value, lowest first
  CountOf,      // one value: how many values equal n
};

struct ModifierSpec {
  ModifierKind kind;
  std::string_view rule_name;  // the grammar rule that reads it, as error reports name it
  std::string_view text;       // its letters, as written in dice text and rendered back
  bool takes_value;            // a signed 32-bit number follows the letters
  // The builder's message for a number that does not fit 32 bits (also refusing a
  // modifier string without its number); null for the kinds without a value.
  const char* value_message;
  ModifierPhase phase;
  PoolEffect effect;
  bool in_lists;  // accepted as a modifier string by roll_with_modifiers
};

// clang-format off
inline constexpr auto kModifiers = std::to_array<ModifierSpec>({
    // kind                        rule_name            text  value  value_message                phase                       effect                   in_lists
    {ModifierKind::Explode,         "explode",            "!",  false, nullptr,                    ModifierPhase::Explode,    PoolEffect::None,        true},
    {ModifierKind::ExplodeAlias,    "explode_alias",      "e",  false, nullptr,                    ModifierPhase::Explode,    PoolEffect::None,        false},
    {ModifierKind::ExplodeKeepHigh, "explode_keep_high",  "K",  true,  "无效的ExplodeKeepHigh数值", ModifierPhase::Pool,       PoolEffect::KeepHighest, false},
    {ModifierKind::Reroll,          "reroll",             "r",  true,  "无效的重投数值",            ModifierPhase::Reroll,     PoolEffect::None,        true},
    {ModifierKind::RerollOnce,      "reroll_once",        "ro", true,  "无效的条件重投数值",        ModifierPhase::Reroll,     PoolEffect::None,        true},
    {ModifierKind::RerollUntil,     "reroll_until",       "R",  true,  "无效的直到重投数值",        ModifierPhase::Reroll,     PoolEffect::None,        false},
    {ModifierKind::RerollAdd,       "reroll_add",         "a",  true,  "无效的重投并相加数值",      ModifierPhase::Reroll,     PoolEffect::None,        false},
    {ModifierKind::KeepAlias,       "keep_alias",         "k",  true,  "无效的取高数值",            ModifierPhase::PoolFirst,  PoolEffect::KeepHighest, false},
    {ModifierKind::KeepHigh,        "keep_high",          "kh", true,  "无效的取高数值",            ModifierPhase::Pool,       PoolEffect::KeepHighest, true},
    {ModifierKind::KeepLow,         "keep_low",           "kl", true,  "无效的取低数值",            ModifierPhase::Pool,       PoolEffect::KeepLowest,  true},
    {ModifierKind::DropHigh,        "drop_high",          "dh", true,  "无效的丢弃高数值",          ModifierPhase::Pool,       PoolEffect::DropHighest, true},
    {ModifierKind::DropLow,         "drop_low",           "dl", true,  "无效的丢弃低数值",          ModifierPhase::Pool,       PoolEffect::DropLowest,  true},
    {ModifierKind::Unique,          "unique",             "u",  false, nullptr,                    ModifierPhase::Pool,       PoolEffect::FirstOfEach, false},
    {ModifierKind::Sort,            "sort",               "s",  false, nullptr,                    ModifierPhase::Pool,       PoolEffect::Ascending,   false},
    {ModifierKind::Count,           "count",              "c",  true,  "无效的计数数值",            ModifierPhase::Pool,       PoolEffect::CountOf,     false},
});
// clang-format on

constexpr std::size_t modifier_index(ModifierKind kind) noexcept {
  return static_cast<std::size_t>(kind);
}
constexpr const ModifierSpec& modifier_spec(ModifierKind kind) noexcept {
  return kModifiers[modifier_index(kind)];
}

constexpr bool modifier_takes_value(ModifierKind kind) noexcept {
  return modifier_spec(kind).takes_value;
}
constexpr bool is_explode(ModifierKind kind) noexcept {
  return modifier_spec(kind).phase == ModifierPhase::Explode;
}
constexpr bool is_reroll(ModifierKind kind) noexcept {
  return modifier_spec(kind).phase == ModifierPhase::Reroll;
}
constexpr bool acts_first_on_pool(ModifierKind kind) noexcept {
  return modifier_spec(kind).phase == ModifierPhase::PoolFirst;
}

// The modifiers whose letters start with one character, in kind order (indices into
// kModifiers). The grammar tries the alternatives from the first of them; the direct
// parser tries just these.
struct ModifierCandidate {
  ModifierKind kind = ModifierKind::Explode;
  std::uint8_t letters = 0;  // 1 or 2
  char second = 0;           // the second letter, when there are two
  bool takes_value = false;
};
struct ModifierCandidates {
  std::uint8_t count = 0;
  std::array<std::uint8_t, 3> index{};
  // The rows at those indices, copied in a compact form for the direct parser's loop.
  std::array<ModifierCandidate, 3> row{};
};
inline constexpr std::array<ModifierCandidates, 256> kModifiersStartingWith = [] {
  std::array<ModifierCandidates, 256> table{};
  for (std::size_t i = 0; i < kModifiers.size(); ++i) {
    ModifierCandidates& entry = table[static_cast<unsigned char>(kModifiers[i].text[0])];
    // More than three modifiers sharing a first letter stops the build here.
    const ModifierSpec& spec = kModifiers[i];
    entry.row.at(entry.count) =
        ModifierCandidate{spec.kind, static_cast<std::uint8_t>(spec.text.size()),
                          spec.text.size() == 2 ? spec.text[1] : '\0', spec.takes_value};
    entry.index.at(entry.count++) = static_cast<std::uint8_t>(i);
  }
  return table;
}();
constexpr const ModifierCandidates& modifiers_starting_with(char c) noexcept {
  return kModifiersStartingWith[static_cast<unsigned char>(c)];
}

// Longest text of a modifier's letters.
inline constexpr std::size_t kLongestModifierText = [] {
  std::size_t longest = 0;
  for (const ModifierSpec& spec : kModifiers)
    longest = spec.text.size() > longest ? spec.text.size() : longest;
  return longest;
}();

// The rows agree with the kinds and with themselves: one row per kind in kind order,
// letters of one or two ASCII characters, a message exactly for the kinds with a value,
// and a pool effect exactly for the pool phases.
static_assert(kModifiers.size() == static_cast<std::size_t>(kModifierKindCount));
static_assert([] {
  for (std::size_t i = 0; i < kModifiers.size(); ++i) {
    const ModifierSpec& spec = kModifiers[i];
    if (modifier_index(spec.kind) != i) return false;
    if (spec.rule_name.empty() || spec.text.empty() || spec.text.size() > 2) return false;
    for (const char c : spec.text) {
      if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    if (spec.takes_value != (spec.value_message != nullptr)) return false;
    const bool pool = spec.phase == ModifierPhase::Pool || spec.phase == ModifierPhase::PoolFirst;
    if (pool != (spec.effect != PoolEffect::None)) return false;
  }
  return true;
}());

}  // namespace kavelo
