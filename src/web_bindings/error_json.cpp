#include "web_bindings/error_json.hpp"

#include "errors/error_text.hpp"

#include <string>

namespace kavelo::web {

namespace {

void write_fields(JsonText& out, std::string_view message, std::string_view code,
                  std::string_view english) {
  out.raw(R"({"message":)");
  out.string(message);
  out.raw(R"(,"code":)");
  out.string(code);
  out.raw(R"(,"english":)");
  out.string(english);
  out.raw('}');
}

}  // namespace

// The code and English text come from the error's row of the table, as the Python
// package's kavelo.explain gives them.
void write_error(JsonText& out, const DiceError& error) {
  write_fields(out, error.display(), error.code(), error.english());
}

// A text made outside a DiceError (the odds' own errors): read back to its row.
void write_error(JsonText& out, std::string_view message) {
  const auto found = match_error(message);
  if (!found) {
    write_fields(out, message, "", "");
    return;
  }
  write_fields(out, message, found->code(), found->english());
}

}  // namespace kavelo::web
