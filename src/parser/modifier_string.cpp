#include "parser/modifier_string.hpp"

#include "parser/decimal.hpp"
#include "parser/modifier_errors.hpp"

namespace kavelo {

namespace {

// The modifier accepted in lists with the longest letters that start `text`, or null.
const ModifierSpec* longest_list_form(std::string_view text) noexcept {
  const ModifierSpec* match = nullptr;
  for (const ModifierSpec& spec : kModifiers) {
    if (!spec.in_lists || !text.starts_with(spec.text)) continue;
    if (match == nullptr || spec.text.size() > match->text.size()) match = &spec;
  }
  return match;
}

}  // namespace

Result<DiceModifier> parse_modifier_string(std::string_view text) {
  const ModifierSpec* spec = longest_list_form(text);
  if (spec == nullptr) return std::unexpected(DiceError::of(ErrorId::ModifierUnknown));
  const std::string_view rest = text.substr(spec->text.size());
  if (!spec->takes_value) {
    if (!rest.empty()) return std::unexpected(DiceError::of(ErrorId::ModifierUnknown));
    return DiceModifier{spec->kind, 0};
  }
  const auto value = parse_decimal<std::int32_t>(rest);
  if (!value) return std::unexpected(DiceError::of(value_list_error(spec->kind)));
  return DiceModifier{spec->kind, *value};
}

}  // namespace kavelo
