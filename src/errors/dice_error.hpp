// The one error type of the core. Every core operation hands back its value or a
// DiceError; nothing inside the core throws for input-caused failures.
//
// A DiceError is one row of the error table (error_table.hpp) and the values of that
// row's fields, kept in a few slots (FieldSlot): its text, code and English text all
// come from the row.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>

#include "errors/error_table.hpp"

namespace kavelo {

// The values of an error's fields, by slot (kErrorFields says which field is kept where).
struct ErrorSlots {
  const char* name = nullptr;  // static text
  std::string message{};       // owned text
  std::uint64_t used = 0;
  std::uint64_t requested = 0;
  std::uint64_t limit = 0;
  std::int64_t exponent = 0;
};

class DiceError {
 public:
  // Any row with its field values. A row of a kind that carries a fixed message
  // (ParseError, InvalidDiceExpression, InvalidModifier) keeps that message as message()
  // (InvalidModifier: as name()), as the named factories below do.
  static DiceError of(ErrorId id, ErrorSlots slots = {});

  // A syntax report (render_syntax_error) as a ParseError.
  static DiceError syntax_error(std::string report);
  // A parse error: the row whose message is `message`, or else the syntax report row
  // with `message` as its report.
  static DiceError parse_error(std::string message);
  static DiceError arithmetic_overflow(const char* operation);
  static DiceError division_by_zero();
  static DiceError invalid_exponent(std::int64_t exponent);
  static DiceError entropy_unavailable(std::string message);
  // The InvalidDiceExpression row whose message is `message` (a message of no row is a
  // fault of the program: std::invalid_argument).
  static DiceError invalid_dice_expression(const std::string& message);
  static DiceError instruction_limit_exceeded(std::uint64_t max);
  static DiceError budget_exceeded(const char* resource, std::uint64_t used,
                                   std::uint64_t requested, std::uint64_t limit);
  static DiceError generated_values_exceeded(std::uint64_t used, std::uint64_t requested,
                                             std::uint64_t limit);
  static DiceError unknown_limit(std::string name);
  static DiceError limit_above_hard_max(const char* resource, std::uint64_t requested,
                                        std::uint64_t hard_max);
  // A modifier string refused by roll_with_modifiers; its display is `message` alone,
  // which must be the text of an InvalidModifier row (else std::invalid_argument).
  static DiceError invalid_modifier(const char* message);
  // A limit below zero handed to with_limit from outside, for the resource `name`.
  static DiceError negative_limit(std::string name);

  // A replay whose faces do not fit the expression: the face at `index` (from 1) is
  // `value`, outside the die of `sides` sides; fewer faces than drawn; faces left over.
  static DiceError replay_face_out_of_range(std::uint64_t index, std::int64_t value,
                                            std::uint64_t sides);
  static DiceError replay_too_few(std::uint64_t given);
  static DiceError replay_left_over(std::uint64_t left, std::uint64_t given, std::uint64_t drawn);

  // The odds refusing an expression: past max_work, past max_outcomes (`what` is static
  // text), past the probabilities held at once, for another reason (`detail`), a term
  // that never ends, or a program.
  static DiceError odds_work(std::uint64_t max_work);
  static DiceError odds_outcomes(const char* what, std::uint64_t count, std::uint64_t max_outcomes);
  static DiceError odds_cells(std::uint64_t cells, std::uint64_t factor);
  static DiceError odds_too_complex(std::string detail);
  static DiceError odds_explodes_forever(std::string term);
  static DiceError odds_rerolls_forever(std::string term, std::int64_t threshold,
                                        std::uint64_t sides);
  static DiceError odds_program(std::uint64_t instructions);

  [[nodiscard]] ErrorId id() const noexcept { return id_; }
  [[nodiscard]] const ErrorSpec& spec() const noexcept { return error_spec(id_); }
  [[nodiscard]] DiceErrorKind kind() const noexcept { return spec().kind; }
  // Owned text of ParseError, EntropyUnavailable, InvalidDiceExpression, UnknownLimit,
  // NegativeLimit, and of the replay and odds rows that hold text.
  [[nodiscard]] const std::string& message() const noexcept { return message_; }
  // Static resource name (BudgetExceeded, LimitAboveHardMax, GeneratedValuesExceeded),
  // operation name (ArithmeticOverflow), the message of InvalidModifier, or the static
  // text of another row's Name slot; empty for the other kinds.
  [[nodiscard]] std::string_view name() const noexcept { return name_ ? name_ : ""; }
  [[nodiscard]] std::uint64_t used() const noexcept { return used_; }
  [[nodiscard]] std::uint64_t requested() const noexcept { return requested_; }
  // The limit; the hard maximum for LimitAboveHardMax; the maximum for
  // InstructionLimitExceeded.
  [[nodiscard]] std::uint64_t limit() const noexcept { return limit_; }
  [[nodiscard]] std::int64_t exponent() const noexcept { return exponent_; }

  // The user-facing text, exactly as it reaches Python in a ValueError.
  [[nodiscard]] std::string display() const;
  // The stable code: "parse.syntax", "limit.work_units", ...
  [[nodiscard]] std::string_view code() const noexcept;
  // The text in English, with the numbers and names filled in; for a syntax report, its
  // place, what was expected in player words, and the line with a caret.
  [[nodiscard]] std::string english() const;

  friend bool operator==(const DiceError& a, const DiceError& b) noexcept {
    return a.id_ == b.id_ && a.name() == b.name() && a.message_ == b.message_ &&
           a.used_ == b.used_ && a.requested_ == b.requested_ && a.limit_ == b.limit_ &&
           a.exponent_ == b.exponent_;
  }

 private:
  explicit DiceError(ErrorId id) noexcept : id_(id) {}
  // The value of a field of this error's row, as text; `buffer` holds a number's digits.
  [[nodiscard]] std::string_view field_text(std::string_view field, char (&buffer)[24]) const;

  ErrorId id_;
  const char* name_ = nullptr;
  std::string message_;
  std::uint64_t used_ = 0;
  std::uint64_t requested_ = 0;
  std::uint64_t limit_ = 0;
  std::int64_t exponent_ = 0;
};

template <class T>
using Result = std::expected<T, DiceError>;
using Status = std::expected<void, DiceError>;

// Early return of the error held by an expected.
#define KAVELO_TRY(expr)                                             \
  do {                                                               \
    if (auto kavelo_try_status_ = (expr); !kavelo_try_status_)       \
      return std::unexpected(std::move(kavelo_try_status_.error())); \
  } while (false)

}  // namespace kavelo
