#include <charconv>

#include "calculator/dice_calculator.hpp"

namespace kavelo {

namespace {

// The short form of each kind, in kind order; the value follows where the kind has one.
constexpr const char* kModifierForms[kModifierKindCount] = {
    "!", "e", "K", "r", "ro", "R", "a", "k", "kh", "kl", "dh", "dl", "u", "s", "c",
};

}  // namespace

std::string DiceCalculator::modifiers_to_string(std::span<const DiceModifier> modifiers) {
  std::string text;
  text.reserve(modifiers.size() * 3);
  for (const DiceModifier& modifier : modifiers) {
    text += kModifierForms[static_cast<int>(modifier.kind)];
    if (modifier_takes_value(modifier.kind)) {
      char buffer[12];
      auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, modifier.value);
      (void)ec;
      text.append(buffer, end);
    }
  }
  return text;
}

}  // namespace kavelo
