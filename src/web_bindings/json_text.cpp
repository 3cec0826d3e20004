#include "web_bindings/json_text.hpp"

#include "text/decimal_text.hpp"

namespace kavelo::web {

namespace {

// The largest integer every JavaScript number holds exactly.
constexpr std::uint64_t kExactInNumber = (std::uint64_t{1} << 53) - 1;

constexpr std::string_view kHexDigits = "0123456789abcdef";

void write_comment(JsonText& out, const std::optional<std::string>& comment) {
  out.string(comment ? std::string_view(*comment) : std::string_view());
}

}  // namespace

void JsonText::string(std::string_view value) {
  text_.reserve(text_.size() + value.size() + 2);
  text_.push_back('"');
  for (const char byte : value) {
    const auto c = static_cast<unsigned char>(byte);
    if (c >= 0x20 && c != '"' && c != '\\') {
      text_.push_back(byte);
      continue;
    }
    text_.push_back('\\');
    switch (c) {
      case '"': text_.push_back('"'); break;
      case '\\': text_.push_back('\\'); break;
      case '\b': text_.push_back('b'); break;
      case '\f': text_.push_back('f'); break;
      case '\n': text_.push_back('n'); break;
      case '\r': text_.push_back('r'); break;
      case '\t': text_.push_back('t'); break;
      default:
        text_ += "u00";
        text_.push_back(kHexDigits[c >> 4]);
        text_.push_back(kHexDigits[c & 0xF]);
    }
  }
  text_.push_back('"');
}

void JsonText::integer(std::int64_t value) {
  const std::uint64_t magnitude =
      value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  if (magnitude > kExactInNumber) wide_integers_ = true;
  append_decimal(text_, value);
}

void JsonText::unsigned_integer(std::uint64_t value) {
  if (value > kExactInNumber) wide_integers_ = true;
  append_decimal(text_, value);
}

void JsonText::groups(const RollGroups& groups) {
  text_.push_back('[');
  for (std::size_t g = 0; g < groups.group_count(); ++g) {
    if (g > 0) text_.push_back(',');
    text_.push_back('[');
    const std::span<const std::int64_t> group = groups.group(g);
    for (std::size_t i = 0; i < group.size(); ++i) {
      if (i > 0) text_.push_back(',');
      integer(group[i]);
    }
    text_.push_back(']');
  }
  text_.push_back(']');
}

void write_result(JsonText& out, const DiceResult& result) {
  out.raw(R"({"expression":)");
  out.string(result.expression);
  out.raw(R"(,"total":)");
  out.integer(result.total);
  out.raw(R"(,"rolls":)");
  out.groups(result.rolls);
  out.raw(R"(,"details":)");
  out.string(result.details);
  out.raw(R"(,"comment":)");
  write_comment(out, result.comment);
  out.raw('}');
}

void write_program(JsonText& out, const ProgramResult& result) {
  out.raw(R"({"results":[)");
  for (std::size_t i = 0; i < result.results.size(); ++i) {
    if (i > 0) out.raw(',');
    write_result(out, result.results[i]);
  }
  out.raw(R"(],"comment":)");
  write_comment(out, result.comment);
  out.raw('}');
}

}  // namespace kavelo::web
