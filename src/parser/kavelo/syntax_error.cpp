#include "parser/kavelo/syntax_error.hpp"

#include <algorithm>

#include "text/decimal_text.hpp"

namespace kavelo::grammar {

namespace {

// A character (Unicode scalar value) starts at every byte that is not a UTF-8
// continuation byte. Stray bytes of malformed text are counted the same way, so
// counting never reads outside the text.
constexpr bool starts_character(unsigned char byte) noexcept { return (byte & 0xC0) != 0x80; }

}  // namespace

SyntaxErrorReport build_syntax_error_report(std::string_view source, const FailureRecord& record,
                                            Rule fallback) {
  SyntaxErrorReport report;
  const std::size_t position = std::min<std::size_t>(record.attempt_position(), source.size());
  report.position = static_cast<std::uint32_t>(position);

  report.expected = record.expected();
  if (report.expected.empty()) report.expected.push_back(fallback);
  std::sort(report.expected.begin(), report.expected.end());
  report.expected.erase(std::unique(report.expected.begin(), report.expected.end()),
                        report.expected.end());

  // Line and column: LF ends a line, CR LF counts as one break, a lone CR is a column.
  std::uint32_t line = 1;
  std::uint32_t column = 1;
  for (std::size_t i = 0; i < position; ++i) {
    const auto byte = static_cast<unsigned char>(source[i]);
    if (byte == '\n') {
      ++line;
      column = 1;
    } else if (byte == '\r' && i + 1 < position && source[i + 1] == '\n') {
      ++line;
      column = 1;
      ++i;
    } else if (starts_character(byte)) {
      ++column;
    }
  }
  report.line = line;
  report.column = column;

  // The line holding the position: from just after the last LF before it to just after
  // the first LF at or after it; then every CR and LF is dropped.
  std::size_t line_start = 0;
  if (position > 0) {
    const std::size_t last_break = source.rfind('\n', position - 1);
    if (last_break != std::string_view::npos) line_start = last_break + 1;
  }
  std::size_t line_end = source.find('\n', position);
  line_end = line_end == std::string_view::npos ? source.size() : line_end + 1;
  report.line_text.reserve(line_end - line_start);
  for (std::size_t i = line_start; i < line_end; ++i) {
    if (source[i] == '\r' || source[i] == '\n') continue;
    // The caret goes under the failing character of the line as shown: a lone CR before
    // it counts as a column but is not shown, so it does not move the caret.
    if (i < position && starts_character(static_cast<unsigned char>(source[i]))) ++report.caret;
    report.line_text.push_back(source[i]);
  }
  return report;
}

std::string render_syntax_error(const SyntaxErrorReport& report) {
  std::string number;
  append_decimal(number, report.line);
  const std::string pad(number.size(), ' ');

  // The underline copies tabs so the caret lines up under the failing character.
  std::string underline;
  std::uint32_t characters = 0;
  for (const char c : report.line_text) {
    if (!starts_character(static_cast<unsigned char>(c))) continue;
    if (characters >= report.caret) break;
    underline.push_back(c == '\t' ? '\t' : ' ');
    ++characters;
  }
  underline += "^---";

  std::string message = "expected ";
  const std::size_t n = report.expected.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0) message += n == 2 ? " or " : (i + 1 == n ? ", or " : ", ");
    message += rule_name(report.expected[i]);
  }

  std::string out;
  out.reserve(64 + 2 * report.line_text.size() + message.size());
  out += pad;
  out += "--> ";
  out += number;
  out += ':';
  append_decimal(out, report.column);
  out += '\n';
  out += pad;
  out += " |\n";
  out += number;
  out += " | ";
  out += report.line_text;
  out += '\n';
  out += pad;
  out += " | ";
  out += underline;
  out += '\n';
  out += pad;
  out += " |\n";
  out += pad;
  out += " = ";
  out += message;
  return out;
}

}  // namespace kavelo::grammar
