#include <cstring>
#include <string_view>

#include "calculator/dice_calculator.hpp"
#include "text/decimal_text.hpp"
#include "types/modifier_table.hpp"

namespace kavelo {

namespace {

// Longest text of one modifier: the longest letters and "-2147483648".
constexpr std::size_t kLongestModifier = kLongestModifierText + kDecimalRoom<std::int32_t>;

}  // namespace

std::string DiceCalculator::modifiers_to_string(std::span<const DiceModifier> modifiers) {
  // Written straight into the string, sized once for the longest possible text: a roll
  // of every sample of a batch renders its whole list again.
  std::string text;
  text.resize_and_overwrite(modifiers.size() * kLongestModifier, [&](char* out, std::size_t) {
    char* p = out;
    for (const DiceModifier& modifier : modifiers) {
      const std::string_view form = modifier_spec(modifier.kind).text;
      std::memcpy(p, form.data(), form.size());
      p += form.size();
      if (modifier_takes_value(modifier.kind)) p = write_decimal(p, modifier.value);
    }
    return static_cast<std::size_t>(p - out);
  });
  return text;
}

std::string_view DiceCalculator::modifier_text(std::span<const DiceModifier> modifiers) {
  if (modifiers.data() != rendered_modifiers_.data() ||
      modifiers.size() != rendered_modifiers_.size()) {
    modifier_text_ = modifiers_to_string(modifiers);
    rendered_modifiers_ = modifiers;
  }
  return modifier_text_;
}

}  // namespace kavelo
