#include <cstring>
#include <string_view>

#include "calculator/dice_calculator.hpp"
#include "text/decimal_text.hpp"

namespace kavelo {

namespace {

// The short form of each kind, in kind order; the value follows where the kind has one.
constexpr std::string_view kModifierForms[kModifierKindCount] = {
    "!", "e", "K", "r", "ro", "R", "a", "k", "kh", "kl", "dh", "dl", "u", "s", "c",
};

// Longest text of one modifier: a two-letter form and "-2147483648".
constexpr std::size_t kLongestModifier = 2 + kDecimalRoom<std::int32_t>;

}  // namespace

std::string DiceCalculator::modifiers_to_string(std::span<const DiceModifier> modifiers) {
  // Written straight into the string, sized once for the longest possible text: a roll
  // of every sample of a batch renders its whole list again.
  std::string text;
  text.resize_and_overwrite(modifiers.size() * kLongestModifier, [&](char* out, std::size_t) {
    char* p = out;
    for (const DiceModifier& modifier : modifiers) {
      const std::string_view form = kModifierForms[static_cast<int>(modifier.kind)];
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
