// The error table's templates put to work: filling a row's text or English text with
// field values, reading a text back to its row and fields, and reading a syntax report.
//
// Reading a text back is exact: every template has at most one free text field, and
// every other field is bounded by literal characters that it cannot contain, so a text
// fits a template in at most one way, found in one pass over the text.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "errors/error_table.hpp"

namespace kavelo {

// A field's value, written as text.
struct ErrorField {
  std::string_view name;
  std::string_view value;
};

// The index of the field named `name`, or kErrorFields.size() if there is none. The
// compile-time checks use the index: GCC's sanitizer builds do not treat a pointer
// compared with nullptr as a constant expression.
constexpr std::size_t error_field_index(std::string_view name) noexcept {
  std::size_t index = 0;
  while (index < kErrorFields.size() && kErrorFields[index].name != name) ++index;
  return index;
}

// The entry of a field in kErrorFields; null for a name that is no field's.
constexpr const FieldSpec* find_error_field(std::string_view name) noexcept {
  const std::size_t index = error_field_index(name);
  return index < kErrorFields.size() ? &kErrorFields[index] : nullptr;
}

// Appends `pattern` with every field replaced by `value(name)`. The patterns of the
// error table are checked at compile time, so every "{" has its "}".
template <class Value>
void append_error_template(std::string& out, std::string_view pattern, const Value& value) {
  std::size_t at = 0;
  while (at < pattern.size()) {
    const std::size_t open = pattern.find('{', at);
    if (open == std::string_view::npos) {
      out.append(pattern.substr(at));
      return;
    }
    out.append(pattern.substr(at, open - at));
    const std::size_t close = pattern.find('}', open);
    out.append(value(pattern.substr(open + 1, close - open - 1)));
    at = close + 1;
  }
}

// A syntax report read back from its text (see render_syntax_error): its line and
// column, the line as shown, the caret (characters before the failing one), the
// underline's characters before the caret, and the expected rules' names in order.
struct SyntaxReportText {
  std::uint32_t line = 0;
  std::uint32_t column = 0;
  std::uint32_t caret = 0;
  std::string_view line_text;
  std::string_view underline;  // spaces and tabs
  std::array<std::string_view, 32> expected{};
  std::size_t expected_count = 0;

  [[nodiscard]] std::span<const std::string_view> expected_rules() const noexcept {
    return {expected.data(), expected_count};
  }
};

// Reads a report written in the layout of syntax reports; nothing for any other text.
[[nodiscard]] std::optional<SyntaxReportText> read_syntax_report(std::string_view report) noexcept;

// The player words of the expected rules, each phrase once, in the report's order.
struct ExpectedWords {
  std::array<std::string_view, 32> phrase{};
  std::size_t count = 0;
};
[[nodiscard]] ExpectedWords expected_words(const SyntaxReportText& report) noexcept;

// The English text of row `id`, with values from `value(name)`; a row with a {report}
// field also offers the report's parts (kReportParts) to its English text.
template <class Value>
std::string render_error_english(ErrorId id, const Value& value);

// Row `id`'s text and English text with the values of `fields` (a field missing from
// them is written empty): for errors that are not DiceErrors, such as the binding
// layer's, and for tests.
[[nodiscard]] std::string error_text(ErrorId id, std::span<const ErrorField> fields);
[[nodiscard]] std::string error_english(ErrorId id, std::span<const ErrorField> fields);

// A text read back to its row. Its fields are views into the text that was read, which
// must outlive the match.
class ErrorMatch {
 public:
  static constexpr std::size_t kMostFields = 8;

  [[nodiscard]] ErrorId id() const noexcept { return id_; }
  [[nodiscard]] const ErrorSpec& spec() const noexcept { return error_spec(id_); }
  // The fields in the order of the text (each once).
  [[nodiscard]] std::span<const ErrorField> fields() const noexcept {
    return {fields_.data(), count_};
  }
  // A field's value as written in the text; empty when the row has no such field.
  [[nodiscard]] std::string_view field(std::string_view name) const noexcept;
  // The row's code, with the resource filled in for a limit error.
  [[nodiscard]] std::string_view code() const noexcept;
  [[nodiscard]] std::string english() const;
  // The row's text with these fields: the text that was read.
  [[nodiscard]] std::string text() const;

 private:
  friend std::optional<ErrorMatch> match_error_row(ErrorId id, std::string_view text) noexcept;

  ErrorId id_ = ErrorId::ParseSyntax;
  std::array<ErrorField, kMostFields> fields_{};
  std::size_t count_ = 0;
};

// The row whose text `text` is, among the rows raised as `raised_as`: the first in table
// order that fits (a few rows with a free text field stand after the more precise rows
// that they would also fit). Nothing for a text that no row produces.
[[nodiscard]] std::optional<ErrorMatch> match_error(
    std::string_view text, ErrorClass raised_as = ErrorClass::ValueError) noexcept;
// Whether `text` fits row `id`, and its fields.
[[nodiscard]] std::optional<ErrorMatch> match_error_row(ErrorId id, std::string_view text) noexcept;

// --- implementation of the template above ---

namespace error_text_detail {

// The report's parts as text, for an English template.
struct ReportParts {
  std::string line;
  std::string column;
  std::string caret;
  std::string marker;
  std::string expected;
};
[[nodiscard]] bool report_parts(std::string_view report, ReportParts& out);
[[nodiscard]] bool has_report_field(const ErrorSpec& spec) noexcept;

}  // namespace error_text_detail

template <class Value>
std::string render_error_english(ErrorId id, const Value& value) {
  const ErrorSpec& spec = error_spec(id);
  std::string out;
  if (!error_text_detail::has_report_field(spec)) {
    append_error_template(out, spec.english, value);
    return out;
  }
  const std::string_view report = value(std::string_view("report"));
  error_text_detail::ReportParts parts;
  if (!error_text_detail::report_parts(report, parts)) {
    // Not a report's layout (only a hand-made error can be): the text as it is.
    out = "syntax error:\n";
    out.append(report);
    return out;
  }
  std::string_view line_text;
  if (const auto read = read_syntax_report(report)) line_text = read->line_text;
  append_error_template(out, spec.english, [&](std::string_view name) -> std::string_view {
    if (name == "line") return parts.line;
    if (name == "column") return parts.column;
    if (name == "caret") return parts.caret;
    if (name == "marker") return parts.marker;
    if (name == "expected") return parts.expected;
    if (name == "line_text") return line_text;
    return value(name);
  });
  return out;
}

}  // namespace kavelo
