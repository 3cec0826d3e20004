// The one error type of the core. Every core operation hands back its value or a
// DiceError; nothing inside the core throws for input-caused failures.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>

namespace kavelo {

enum class DiceErrorKind : std::uint8_t {
  ParseError,
  ArithmeticOverflow,
  DivisionByZero,
  InvalidExponent,
  EntropyUnavailable,
  InvalidDiceExpression,
  InstructionLimitExceeded,
  BudgetExceeded,
  GeneratedValuesExceeded,
  UnknownLimit,
  LimitAboveHardMax,
  InvalidModifier,
  NegativeLimit,
};

class DiceError {
 public:
  static DiceError parse_error(std::string message);
  static DiceError arithmetic_overflow(const char* operation);
  static DiceError division_by_zero();
  static DiceError invalid_exponent(std::int64_t exponent);
  static DiceError entropy_unavailable(std::string message);
  static DiceError invalid_dice_expression(std::string message);
  static DiceError instruction_limit_exceeded(std::uint64_t max);
  static DiceError budget_exceeded(const char* resource, std::uint64_t used,
                                   std::uint64_t requested, std::uint64_t limit);
  static DiceError generated_values_exceeded(std::uint64_t used, std::uint64_t requested,
                                             std::uint64_t limit);
  static DiceError unknown_limit(std::string name);
  static DiceError limit_above_hard_max(const char* resource, std::uint64_t requested,
                                        std::uint64_t hard_max);
  // A modifier string refused by roll_with_modifiers; its display is `message` alone.
  static DiceError invalid_modifier(const char* message);
  // A limit below zero handed to with_limit from outside, for the resource `name`.
  static DiceError negative_limit(std::string name);

  [[nodiscard]] DiceErrorKind kind() const noexcept { return kind_; }
  // Owned text of ParseError, EntropyUnavailable, InvalidDiceExpression, UnknownLimit and
  // NegativeLimit.
  [[nodiscard]] const std::string& message() const noexcept { return message_; }
  // Static resource name (BudgetExceeded, LimitAboveHardMax, GeneratedValuesExceeded)
  // or operation name (ArithmeticOverflow); empty for the other kinds.
  [[nodiscard]] std::string_view name() const noexcept { return name_ ? name_ : ""; }
  [[nodiscard]] std::uint64_t used() const noexcept { return used_; }
  [[nodiscard]] std::uint64_t requested() const noexcept { return requested_; }
  // The limit; the hard maximum for LimitAboveHardMax; the maximum for
  // InstructionLimitExceeded.
  [[nodiscard]] std::uint64_t limit() const noexcept { return limit_; }
  [[nodiscard]] std::int64_t exponent() const noexcept { return exponent_; }

  // The user-facing text, exactly as it reaches Python in a ValueError.
  [[nodiscard]] std::string display() const;

  friend bool operator==(const DiceError& a, const DiceError& b) noexcept {
    return a.kind_ == b.kind_ && a.name() == b.name() && a.message_ == b.message_ &&
           a.used_ == b.used_ && a.requested_ == b.requested_ && a.limit_ == b.limit_ &&
           a.exponent_ == b.exponent_;
  }

 private:
  explicit DiceError(DiceErrorKind kind) noexcept : kind_(kind) {}

  DiceErrorKind kind_;
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
