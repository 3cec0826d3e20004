#include "errors/dice_error.hpp"

#include <stdexcept>

#include "errors/error_text.hpp"
#include "text/decimal_text.hpp"

namespace kavelo {

namespace {

// The message a row of a fixed-message kind keeps: its text after the kind's label.
std::string_view fixed_message(const ErrorSpec& spec) noexcept {
  switch (spec.kind) {
    case DiceErrorKind::ParseError: return spec.text.substr(kParseLabel.size());
    case DiceErrorKind::InvalidDiceExpression: return spec.text.substr(kInvalidDiceLabel.size());
    default: return spec.text;
  }
}

bool has_fields(const ErrorSpec& spec) noexcept {
  return spec.text.find('{') != std::string_view::npos;
}

}  // namespace

DiceError DiceError::of(ErrorId id, ErrorSlots slots) {
  DiceError e(id);
  const ErrorSpec& spec = error_spec(id);
  e.name_ = slots.name;
  e.message_ = std::move(slots.message);
  e.used_ = slots.used;
  e.requested_ = slots.requested;
  e.limit_ = slots.limit;
  e.exponent_ = slots.exponent;
  if (!has_fields(spec)) {
    if (spec.kind == DiceErrorKind::ParseError ||
        spec.kind == DiceErrorKind::InvalidDiceExpression) {
      e.message_ = fixed_message(spec);
    } else if (spec.kind == DiceErrorKind::InvalidModifier) {
      // The row's text is a whole string literal, so its data is NUL-terminated.
      e.name_ = spec.text.data();
    }
  }
  return e;
}

DiceError DiceError::syntax_error(std::string report) {
  return of(ErrorId::ParseSyntax, {.message = std::move(report)});
}

DiceError DiceError::parse_error(std::string message) {
  const FoundRow row = find_fixed_row(DiceErrorKind::ParseError, message);
  return row.found ? of(row.id) : syntax_error(std::move(message));
}

DiceError DiceError::arithmetic_overflow(const char* operation) {
  return of(ErrorId::ArithmeticOverflow, {.name = operation});
}

DiceError DiceError::division_by_zero() { return of(ErrorId::DivideByZero); }

DiceError DiceError::invalid_exponent(std::int64_t exponent) {
  return of(ErrorId::InvalidExponent, {.exponent = exponent});
}

DiceError DiceError::entropy_unavailable(std::string message) {
  return of(ErrorId::EntropyUnavailable, {.message = std::move(message)});
}

DiceError DiceError::invalid_dice_expression(const std::string& message) {
  const FoundRow row = find_fixed_row(DiceErrorKind::InvalidDiceExpression, message);
  if (!row.found) throw std::invalid_argument("no invalid-dice error has this message");
  return of(row.id);
}

DiceError DiceError::instruction_limit_exceeded(std::uint64_t max) {
  return of(ErrorId::ParsedInstructions, {.limit = max});
}

DiceError DiceError::budget_exceeded(const char* resource, std::uint64_t used,
                                     std::uint64_t requested, std::uint64_t limit) {
  return of(ErrorId::BudgetExceeded,
            {.name = resource, .used = used, .requested = requested, .limit = limit});
}

DiceError DiceError::generated_values_exceeded(std::uint64_t used, std::uint64_t requested,
                                               std::uint64_t limit) {
  return of(ErrorId::GeneratedValues,
            {.name = "generated_values", .used = used, .requested = requested, .limit = limit});
}

DiceError DiceError::unknown_limit(std::string name) {
  return of(ErrorId::UnknownLimit, {.message = std::move(name)});
}

DiceError DiceError::limit_above_hard_max(const char* resource, std::uint64_t requested,
                                          std::uint64_t hard_max) {
  return of(ErrorId::LimitAboveHardMax,
            {.name = resource, .requested = requested, .limit = hard_max});
}

DiceError DiceError::invalid_modifier(const char* message) {
  const FoundRow row = find_fixed_row(DiceErrorKind::InvalidModifier, message);
  if (!row.found) throw std::invalid_argument("no modifier-string error has this message");
  return of(row.id);
}

DiceError DiceError::negative_limit(std::string name) {
  return of(ErrorId::NegativeLimit, {.message = std::move(name)});
}

DiceError DiceError::replay_face_out_of_range(std::uint64_t index, std::int64_t value,
                                              std::uint64_t sides) {
  return of(ErrorId::ReplayOutOfRange, {.used = index, .limit = sides, .exponent = value});
}

DiceError DiceError::replay_too_few(std::uint64_t given) {
  return of(ErrorId::ReplayTooFew, {.requested = given});
}

DiceError DiceError::replay_left_over(std::uint64_t left, std::uint64_t given,
                                      std::uint64_t drawn) {
  return of(ErrorId::ReplayLeftOver, {.used = left, .requested = given, .limit = drawn});
}

DiceError DiceError::odds_work(std::uint64_t max_work) {
  return of(ErrorId::OddsWork, {.limit = max_work});
}

DiceError DiceError::odds_outcomes(const char* what, std::uint64_t count,
                                   std::uint64_t max_outcomes) {
  return of(ErrorId::OddsOutcomes, {.name = what, .requested = count, .limit = max_outcomes});
}

DiceError DiceError::odds_cells(std::uint64_t cells, std::uint64_t factor) {
  return of(ErrorId::OddsCells, {.used = factor, .limit = cells});
}

DiceError DiceError::odds_too_complex(std::string detail) {
  return of(ErrorId::OddsTooComplex, {.message = std::move(detail)});
}

DiceError DiceError::odds_explodes_forever(std::string term) {
  return of(ErrorId::OddsExplodesForever, {.message = std::move(term)});
}

DiceError DiceError::odds_rerolls_forever(std::string term, std::int64_t threshold,
                                          std::uint64_t sides) {
  return of(ErrorId::OddsRerollsForever,
            {.message = std::move(term), .limit = sides, .exponent = threshold});
}

DiceError DiceError::odds_program(std::uint64_t instructions) {
  return of(ErrorId::OddsProgram, {.requested = instructions});
}

std::string_view DiceError::field_text(std::string_view field, char (&buffer)[24]) const {
  const FieldSpec* spec = find_error_field(field);
  switch (spec != nullptr ? spec->slot : FieldSlot::None) {
    case FieldSlot::Name: return name();
    case FieldSlot::Message: return message_;
    case FieldSlot::Used: return {buffer, write_decimal(buffer, used_)};
    case FieldSlot::Requested: return {buffer, write_decimal(buffer, requested_)};
    case FieldSlot::Limit: return {buffer, write_decimal(buffer, limit_)};
    case FieldSlot::Exponent: return {buffer, write_decimal(buffer, exponent_)};
    case FieldSlot::None: break;
  }
  return {};
}

std::string DiceError::display() const {
  std::string out;
  char buffer[24];
  append_error_template(out, spec().text,
                        [&](std::string_view field) { return field_text(field, buffer); });
  return out;
}

std::string_view DiceError::code() const noexcept {
  const std::string_view code = spec().code;
  if (code.find('{') == std::string_view::npos) return code;
  // "limit.{resource}": the resource is always a registered name.
  const std::string_view filled = limit_code(name());
  return filled.empty() ? code : filled;
}

std::string DiceError::english() const {
  char buffer[24];
  return render_error_english(id_,
                              [&](std::string_view field) { return field_text(field, buffer); });
}

}  // namespace kavelo
