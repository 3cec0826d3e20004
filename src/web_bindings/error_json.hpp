// Errors as JSON for the browser module: {"message", "code", "english"}, where the message
// is the exact text the Python module raises.
#pragma once

#include <string_view>

#include "errors/dice_error.hpp"
#include "web_bindings/json_text.hpp"

namespace kavelo::web {

// An error of the core.
void write_error(JsonText& out, const DiceError& error);
// An error known only by its text: the odds' own errors, a replay's fault.
void write_error(JsonText& out, std::string_view message);

}  // namespace kavelo::web
