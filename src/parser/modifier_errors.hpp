// The error of a modifier's number that does not fit, per modifier kind: its parse error
// in dice text, and, for the kinds that modifier strings accept, its modifier-string
// error. Both rows are found in the error table by the modifier table's value message
// when this compiles, so a modifier with a value and no error row stops the build.
#pragma once

#include <array>
#include <cstddef>

#include "errors/error_table.hpp"
#include "types/modifier_table.hpp"

namespace kavelo {

struct ModifierValueErrors {
  std::array<FoundRow, kModifierKindCount> parse{};
  std::array<FoundRow, kModifierKindCount> list{};
};

inline constexpr ModifierValueErrors kModifierValueErrors = [] {
  ModifierValueErrors errors;
  for (const ModifierSpec& spec : kModifiers) {
    if (!spec.takes_value) continue;
    const std::size_t i = modifier_index(spec.kind);
    errors.parse[i] = find_fixed_row(DiceErrorKind::ParseError, spec.value_message);
    if (spec.in_lists) {
      errors.list[i] = find_fixed_row(DiceErrorKind::InvalidModifier, spec.value_message);
    }
  }
  return errors;
}();

static_assert(
    [] {
      for (const ModifierSpec& spec : kModifiers) {
        if (!spec.takes_value) continue;
        const std::size_t i = modifier_index(spec.kind);
        if (!kModifierValueErrors.parse[i].found) return false;
        if (spec.in_lists && !kModifierValueErrors.list[i].found) return false;
      }
      return true;
    }(),
    "every modifier's value message is the message of an error row");

// The parse error of `kind`'s number; `kind` takes a value.
constexpr ErrorId value_parse_error(ModifierKind kind) noexcept {
  return kModifierValueErrors.parse[modifier_index(kind)].id;
}
// The modifier-string error of `kind`'s number; `kind` takes a value in modifier strings.
constexpr ErrorId value_list_error(ModifierKind kind) noexcept {
  return kModifierValueErrors.list[modifier_index(kind)].id;
}

}  // namespace kavelo
