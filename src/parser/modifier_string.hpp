// The modifier strings of roll_with_modifiers: one modifier per string, without the
// rest of the dice language.
#pragma once

#include <string_view>

#include "errors/dice_error.hpp"
#include "types/expression.hpp"

namespace kavelo {

// Reads one modifier string. The string must start with the letters of a modifier
// accepted in lists (the longest that fit, exactly and in lower case), followed, for a
// kind with a value, by a signed 32-bit decimal number ("+" or "-" allowed, nothing
// else around it), and by nothing for a kind without one. A string whose letters match
// but whose number does not fails with that modifier's value message; anything else
// (the empty string included) with "未知的修饰符". Both fail as InvalidModifier.
[[nodiscard]] Result<DiceModifier> parse_modifier_string(std::string_view text);

}  // namespace kavelo
