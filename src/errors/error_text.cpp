#include "errors/error_text.hpp"

#include "text/decimal_text.hpp"

namespace kavelo {

namespace {

// --- templates: parts, characters of fields, and the checks of every row ---

struct Part {
  std::string_view text;  // a literal, or a field's name
  bool field = false;
};

constexpr std::size_t kMostParts = 16;

struct Parts {
  std::array<Part, kMostParts> part{};
  std::size_t count = 0;
  bool valid = true;  // braces paired, no empty field name, at most kMostParts parts
};

constexpr Parts split_template(std::string_view pattern) {
  Parts parts;
  std::size_t at = 0;
  while (at < pattern.size()) {
    if (parts.count == kMostParts) {
      parts.valid = false;
      return parts;
    }
    const std::size_t open = pattern.find('{', at);
    if (open != at) {
      const std::size_t end = open == std::string_view::npos ? pattern.size() : open;
      const std::string_view literal = pattern.substr(at, end - at);
      if (literal.find('}') != std::string_view::npos) parts.valid = false;
      parts.part[parts.count++] = Part{literal, false};
      at = end;
      continue;
    }
    const std::size_t close = pattern.find('}', open);
    if (close == std::string_view::npos || close == open + 1) {
      parts.valid = false;
      return parts;
    }
    const std::string_view name = pattern.substr(open + 1, close - open - 1);
    if (name.find('{') != std::string_view::npos) parts.valid = false;
    parts.part[parts.count++] = Part{name, true};
    at = close + 1;
  }
  return parts;
}

constexpr bool is_free(FieldType type) noexcept {
  return type == FieldType::Text || type == FieldType::Report;
}

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
constexpr bool is_letter(char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The characters a bounded field can hold.
constexpr bool field_holds(FieldType type, char c) noexcept {
  switch (type) {
    case FieldType::Count: return is_digit(c);
    case FieldType::Integer: return is_digit(c) || c == '-';
    case FieldType::Resource: return (c >= 'a' && c <= 'z') || c == '_';
    case FieldType::Identifier:
      return is_letter(c) || is_digit(c) || c == '_' || c == '.' || c == '(' || c == ')';
    case FieldType::Words: return is_letter(c) || is_digit(c) || c == '_' || c == ' ';
    case FieldType::Text:
    case FieldType::Report: return true;
  }
  return false;
}

constexpr FieldType type_of(std::string_view field) noexcept {
  return kErrorFields[error_field_index(field)].type;
}

constexpr bool is_report_part(std::string_view name) noexcept {
  for (const std::string_view part : kReportParts) {
    if (part == name) return true;
  }
  return false;
}

constexpr bool text_has_field(const Parts& parts, std::string_view name) noexcept {
  for (std::size_t i = 0; i < parts.count; ++i) {
    if (parts.part[i].field && parts.part[i].text == name) return true;
  }
  return false;
}

// A row's text can be read back in one pass: known fields, at most one free field
// (which appears once), no two fields side by side, and every bounded field next to
// literal characters it cannot hold. A row a DiceError can carry keeps its distinct
// fields in distinct slots.
constexpr bool text_template_is_readable(const ErrorSpec& spec) noexcept {
  const Parts parts = split_template(spec.text);
  if (!parts.valid || parts.count == 0) return false;
  std::size_t free_fields = 0;
  for (std::size_t i = 0; i < parts.count; ++i) {
    const Part& part = parts.part[i];
    if (!part.field) continue;
    const std::size_t index = error_field_index(part.text);
    if (index == kErrorFields.size()) return false;
    const FieldSpec* field = &kErrorFields[index];
    if (is_free(field->type)) {
      ++free_fields;
      continue;
    }
    if (i > 0) {
      const Part& before = parts.part[i - 1];
      if (before.field || field_holds(field->type, before.text.back())) return false;
    }
    if (i + 1 < parts.count) {
      const Part& after = parts.part[i + 1];
      if (after.field || field_holds(field->type, after.text.front())) return false;
    }
  }
  if (free_fields > 1) return false;
  if (spec.kind == DiceErrorKind::Binding) return true;
  for (std::size_t i = 0; i < parts.count; ++i) {
    if (!parts.part[i].field) continue;
    const FieldSpec* a = &kErrorFields[error_field_index(parts.part[i].text)];
    for (std::size_t j = i + 1; j < parts.count; ++j) {
      if (!parts.part[j].field || parts.part[j].text == a->name) continue;
      const FieldSpec* b = &kErrorFields[error_field_index(parts.part[j].text)];
      if (a->slot != FieldSlot::None && a->slot == b->slot) return false;
    }
  }
  return true;
}

// The English text uses only the text's fields, and a report's parts where the text
// has a report.
constexpr bool english_template_fits(const ErrorSpec& spec) noexcept {
  const Parts text = split_template(spec.text);
  const Parts english = split_template(spec.english);
  if (!english.valid || english.count == 0) return false;
  const bool has_report = text_has_field(text, "report");
  for (std::size_t i = 0; i < english.count; ++i) {
    const Part& part = english.part[i];
    if (!part.field) continue;
    if (text_has_field(text, part.text)) continue;
    if (has_report && is_report_part(part.text)) continue;
    return false;
  }
  return true;
}

constexpr bool code_fits(const ErrorSpec& spec) noexcept {
  if (spec.code.empty() || spec.key.empty()) return false;
  if (spec.code.find('{') == std::string_view::npos) return true;
  return spec.code == "limit.{resource}" && text_has_field(split_template(spec.text), "resource");
}

constexpr bool label_fits(const ErrorSpec& spec) noexcept {
  if (spec.kind == DiceErrorKind::ParseError) return spec.text.starts_with(kParseLabel);
  if (spec.kind == DiceErrorKind::InvalidDiceExpression) {
    return spec.text.starts_with(kInvalidDiceLabel);
  }
  return true;
}

constexpr bool table_is_sound() noexcept {
  for (std::size_t i = 0; i < kErrors.size(); ++i) {
    const ErrorSpec& spec = kErrors[i];
    if (static_cast<std::size_t>(spec.id) != i) return false;
    if (!text_template_is_readable(spec) || !english_template_fits(spec) || !code_fits(spec) ||
        !label_fits(spec)) {
      return false;
    }
    for (std::size_t j = 0; j < i; ++j) {
      if (kErrors[j].key == spec.key) return false;
      // Two rows of one class with the same text could never be told apart.
      if (kErrors[j].raised_as == spec.raised_as && kErrors[j].text == spec.text) return false;
    }
  }
  for (const FieldSpec& field : kErrorFields) {
    if (field.name.empty() || is_report_part(field.name)) return false;
  }
  return true;
}

static_assert(kErrors.size() == kErrorCount, "one row per error");
static_assert(kErrorClassNames.size() == static_cast<std::size_t>(ErrorClass::InternalFault) + 1);
static_assert(table_is_sound(), "every row's templates are well formed and readable");

// --- reading a text back ---

std::size_t munch_forward(FieldType type, std::string_view text, std::size_t at) noexcept {
  std::size_t end = at;
  if (type == FieldType::Integer) {
    if (end < text.size() && text[end] == '-') ++end;
    const std::size_t digits = end;
    while (end < text.size() && is_digit(text[end])) ++end;
    return end == digits ? at : end;
  }
  while (end < text.size() && field_holds(type, text[end])) ++end;
  return end;
}

// The start of a bounded field that ends at `end`, not before `floor`; `end` when none.
std::size_t munch_backward(FieldType type, std::string_view text, std::size_t floor,
                           std::size_t end) noexcept {
  std::size_t start = end;
  if (type == FieldType::Integer) {
    while (start > floor && is_digit(text[start - 1])) --start;
    if (start == end) return end;
    if (start > floor && text[start - 1] == '-') --start;
    return start;
  }
  while (start > floor && field_holds(type, text[start - 1])) --start;
  return start;
}

bool parse_count(std::string_view digits, std::uint64_t& out) noexcept {
  if (digits.empty() || digits.size() > 20) return false;
  std::uint64_t value = 0;
  for (const char c : digits) {
    if (!is_digit(c)) return false;
    const auto d = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - d) / 10) return false;
    value = value * 10 + d;
  }
  out = value;
  return true;
}

bool parse_u32(std::string_view digits, std::uint32_t& out) noexcept {
  std::uint64_t value = 0;
  if (!parse_count(digits, value) || value > UINT32_MAX) return false;
  out = static_cast<std::uint32_t>(value);
  return true;
}

// Takes `prefix` off the front of `text`.
bool take(std::string_view& text, std::string_view prefix) noexcept {
  if (!text.starts_with(prefix)) return false;
  text.remove_prefix(prefix.size());
  return true;
}

// Takes the next line (up to a line feed, which is dropped).
bool take_line(std::string_view& text, std::string_view& line) noexcept {
  const std::size_t end = text.find('\n');
  if (end == std::string_view::npos) return false;
  line = text.substr(0, end);
  text.remove_prefix(end + 1);
  return true;
}

// "A", "A or B", "A, B, or C": the names of an "expected ..." list.
bool read_rule_list(std::string_view list, SyntaxReportText& out) noexcept {
  const auto add = [&](std::string_view name) {
    if (rule_words(name).empty() || out.expected_count == out.expected.size()) return false;
    out.expected[out.expected_count++] = name;
    return true;
  };
  if (list.find(", ") == std::string_view::npos) {
    const std::size_t or_at = list.find(" or ");
    if (or_at == std::string_view::npos) return add(list);
    return add(list.substr(0, or_at)) && add(list.substr(or_at + 4));
  }
  // Three or more: the last one after ", or ".
  const std::size_t last = list.rfind(", or ");
  if (last == std::string_view::npos) return false;
  std::string_view head = list.substr(0, last);
  while (true) {
    const std::size_t comma = head.find(", ");
    if (!add(head.substr(0, comma))) return false;
    if (comma == std::string_view::npos) break;
    head.remove_prefix(comma + 2);
  }
  return out.expected_count >= 2 && add(list.substr(last + 5));
}

}  // namespace

std::optional<SyntaxReportText> read_syntax_report(std::string_view report) noexcept {
  SyntaxReportText out;
  std::string_view rest = report;
  std::string_view line;
  // S "--> " N ":" C, where S is as many spaces as N has digits.
  if (!take_line(rest, line)) return std::nullopt;
  const std::size_t arrow = line.find("--> ");
  if (arrow == std::string_view::npos || arrow == 0) return std::nullopt;
  const std::string_view pad = line.substr(0, arrow);
  if (pad.find_first_not_of(' ') != std::string_view::npos) return std::nullopt;
  const std::string_view place = line.substr(arrow + 4);
  const std::size_t colon = place.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const std::string_view number = place.substr(0, colon);
  if (number.size() != pad.size() || number.front() == '0' || !parse_u32(number, out.line) ||
      !parse_u32(place.substr(colon + 1), out.column) || out.column == 0) {
    return std::nullopt;
  }
  const auto bar = [&](std::string_view& text) {
    std::string_view bar_line;
    return take_line(text, bar_line) && take(bar_line, pad) && bar_line == " |";
  };
  // S " |"; N " | " line; S " | " underline "^---"; S " |"; S " = expected " list.
  if (!bar(rest) || !take_line(rest, line) || !take(line, number) || !take(line, " | ")) {
    return std::nullopt;
  }
  out.line_text = line;
  if (!take_line(rest, line) || !take(line, pad) || !take(line, " | ") || !line.ends_with("^---")) {
    return std::nullopt;
  }
  out.underline = line.substr(0, line.size() - 4);
  if (out.underline.find_first_not_of(" \t") != std::string_view::npos) return std::nullopt;
  out.caret = static_cast<std::uint32_t>(out.underline.size());
  if (!bar(rest) || !take(rest, pad) || !take(rest, " = expected ")) return std::nullopt;
  if (rest.find('\n') != std::string_view::npos || !read_rule_list(rest, out)) return std::nullopt;
  return out;
}

ExpectedWords expected_words(const SyntaxReportText& report) noexcept {
  ExpectedWords out;
  for (const std::string_view rule : report.expected_rules()) {
    const std::string_view words = rule_words(rule);
    bool seen = false;
    for (std::size_t i = 0; i < out.count; ++i) seen = seen || out.phrase[i] == words;
    if (!seen) out.phrase[out.count++] = words;
  }
  return out;
}

namespace error_text_detail {

bool has_report_field(const ErrorSpec& spec) noexcept {
  return spec.text.find("{report}") != std::string_view::npos;
}

bool report_parts(std::string_view report, ReportParts& out) {
  const std::optional<SyntaxReportText> read = read_syntax_report(report);
  if (!read) return false;
  append_decimal(out.line, read->line);
  append_decimal(out.column, read->column);
  append_decimal(out.caret, read->caret);
  out.marker.assign(read->underline);
  out.marker += '^';
  const ExpectedWords words = expected_words(*read);
  for (std::size_t i = 0; i < words.count; ++i) {
    if (i > 0) out.expected += words.count == 2 ? " or " : (i + 1 == words.count ? ", or " : ", ");
    out.expected.append(words.phrase[i]);
  }
  return true;
}

}  // namespace error_text_detail

namespace {

std::string_view value_in(std::span<const ErrorField> fields, std::string_view name) noexcept {
  for (const ErrorField& f : fields) {
    if (f.name == name) return f.value;
  }
  return {};
}

}  // namespace

std::string error_text(ErrorId id, std::span<const ErrorField> fields) {
  std::string out;
  append_error_template(out, error_spec(id).text,
                        [&](std::string_view name) { return value_in(fields, name); });
  return out;
}

std::string error_english(ErrorId id, std::span<const ErrorField> fields) {
  return render_error_english(id, [&](std::string_view name) { return value_in(fields, name); });
}

std::optional<ErrorMatch> match_error_row(ErrorId id, std::string_view text) noexcept {
  const ErrorSpec& spec = error_spec(id);
  const Parts parts = split_template(spec.text);
  ErrorMatch match;
  match.id_ = id;
  // Records a field; a field that appears twice must have the same value both times.
  const auto record = [&](std::string_view name, std::string_view value) {
    for (std::size_t i = 0; i < match.count_; ++i) {
      if (match.fields_[i].name == name) return match.fields_[i].value == value;
    }
    if (match.count_ == ErrorMatch::kMostFields) return false;
    match.fields_[match.count_++] = ErrorField{name, value};
    return true;
  };
  std::size_t free_part = parts.count;
  for (std::size_t i = 0; i < parts.count; ++i) {
    if (parts.part[i].field && is_free(type_of(parts.part[i].text))) free_part = i;
  }
  // Left to right up to the free field.
  std::size_t at = 0;
  for (std::size_t i = 0; i < free_part; ++i) {
    const Part& part = parts.part[i];
    if (!part.field) {
      if (!text.substr(at).starts_with(part.text)) return std::nullopt;
      at += part.text.size();
      continue;
    }
    const std::size_t end = munch_forward(type_of(part.text), text, at);
    if (end == at || !record(part.text, text.substr(at, end - at))) return std::nullopt;
    at = end;
  }
  if (free_part == parts.count) {
    if (at != text.size()) return std::nullopt;
  } else {
    // Right to left down to the free field, which takes what is left between.
    std::size_t end = text.size();
    for (std::size_t i = parts.count; i-- > free_part + 1;) {
      const Part& part = parts.part[i];
      if (!part.field) {
        if (end - at < part.text.size() || !text.substr(at, end - at).ends_with(part.text)) {
          return std::nullopt;
        }
        end -= part.text.size();
        continue;
      }
      const std::size_t start = munch_backward(type_of(part.text), text, at, end);
      if (start == end) return std::nullopt;
      const std::string_view value = text.substr(start, end - start);
      end = start;
      if (!record(part.text, value)) return std::nullopt;
    }
    if (!record(parts.part[free_part].text, text.substr(at, end - at))) return std::nullopt;
    // The fields after the free one were recorded last to first: back into text order.
    std::array<ErrorField, ErrorMatch::kMostFields> ordered{};
    std::size_t n = 0;
    for (std::size_t i = 0; i < parts.count; ++i) {
      if (!parts.part[i].field) continue;
      const std::string_view name = parts.part[i].text;
      bool listed = false;
      for (std::size_t k = 0; k < n; ++k) listed = listed || ordered[k].name == name;
      if (!listed) ordered[n++] = ErrorField{name, match.field(name)};
    }
    match.fields_ = ordered;
    match.count_ = n;
  }
  // Values that must be more than characters: a known resource, a readable report.
  for (const ErrorField& field : match.fields()) {
    const FieldType type = type_of(field.name);
    if (type == FieldType::Resource && limit_code(field.value).empty()) return std::nullopt;
    if (type == FieldType::Report && !read_syntax_report(field.value)) return std::nullopt;
  }
  return match;
}

std::optional<ErrorMatch> match_error(std::string_view text, ErrorClass raised_as) noexcept {
  for (const ErrorSpec& spec : kErrors) {
    if (spec.raised_as != raised_as) continue;
    if (auto match = match_error_row(spec.id, text)) return match;
  }
  return std::nullopt;
}

std::string_view ErrorMatch::field(std::string_view name) const noexcept {
  return value_in(fields(), name);
}

std::string_view ErrorMatch::code() const noexcept {
  const std::string_view code = spec().code;
  if (code.find('{') == std::string_view::npos) return code;
  return limit_code(field("resource"));
}

std::string ErrorMatch::english() const { return error_english(id_, fields()); }

std::string ErrorMatch::text() const { return error_text(id_, fields()); }

}  // namespace kavelo
