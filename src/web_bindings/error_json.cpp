#include "web_bindings/error_json.hpp"

#include <string>

namespace kavelo::web {

namespace {

struct ErrorFields {
  std::string_view code;
  std::string english;
};

// The code and the English gloss of an error text. For now the code is the one the text
// carries in a leading "[area.name]" and there is no gloss; this is the one place to
// change when the core's errors carry both themselves (DiceError::code() and
// DiceError::english()).
ErrorFields fields_of(std::string_view message) {
  ErrorFields fields;
  if (message.starts_with('[')) {
    const std::size_t end = message.find(']');
    if (end != std::string_view::npos) fields.code = message.substr(1, end - 1);
  }
  return fields;
}

void write_fields(JsonText& out, std::string_view message) {
  const ErrorFields fields = fields_of(message);
  out.raw(R"({"message":)");
  out.string(message);
  out.raw(R"(,"code":)");
  out.string(fields.code);
  out.raw(R"(,"english":)");
  out.string(fields.english);
  out.raw('}');
}

}  // namespace

void write_error(JsonText& out, const DiceError& error) { write_fields(out, error.display()); }

void write_error(JsonText& out, std::string_view message) { write_fields(out, message); }

}  // namespace kavelo::web
