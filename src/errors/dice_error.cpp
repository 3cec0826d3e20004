#include "errors/dice_error.hpp"

#include "text/decimal_text.hpp"

namespace kavelo {

DiceError DiceError::parse_error(std::string message) {
  DiceError e(DiceErrorKind::ParseError);
  e.message_ = std::move(message);
  return e;
}

DiceError DiceError::arithmetic_overflow(const char* operation) {
  DiceError e(DiceErrorKind::ArithmeticOverflow);
  e.name_ = operation;
  return e;
}

DiceError DiceError::division_by_zero() { return DiceError(DiceErrorKind::DivisionByZero); }

DiceError DiceError::invalid_exponent(std::int64_t exponent) {
  DiceError e(DiceErrorKind::InvalidExponent);
  e.exponent_ = exponent;
  return e;
}

DiceError DiceError::entropy_unavailable(std::string message) {
  DiceError e(DiceErrorKind::EntropyUnavailable);
  e.message_ = std::move(message);
  return e;
}

DiceError DiceError::invalid_dice_expression(std::string message) {
  DiceError e(DiceErrorKind::InvalidDiceExpression);
  e.message_ = std::move(message);
  return e;
}

DiceError DiceError::instruction_limit_exceeded(std::uint64_t max) {
  DiceError e(DiceErrorKind::InstructionLimitExceeded);
  e.limit_ = max;
  return e;
}

DiceError DiceError::budget_exceeded(const char* resource, std::uint64_t used,
                                     std::uint64_t requested, std::uint64_t limit) {
  DiceError e(DiceErrorKind::BudgetExceeded);
  e.name_ = resource;
  e.used_ = used;
  e.requested_ = requested;
  e.limit_ = limit;
  return e;
}

DiceError DiceError::generated_values_exceeded(std::uint64_t used, std::uint64_t requested,
                                               std::uint64_t limit) {
  DiceError e(DiceErrorKind::GeneratedValuesExceeded);
  e.name_ = "generated_values";
  e.used_ = used;
  e.requested_ = requested;
  e.limit_ = limit;
  return e;
}

DiceError DiceError::unknown_limit(std::string name) {
  DiceError e(DiceErrorKind::UnknownLimit);
  e.message_ = std::move(name);
  return e;
}

DiceError DiceError::limit_above_hard_max(const char* resource, std::uint64_t requested,
                                          std::uint64_t hard_max) {
  DiceError e(DiceErrorKind::LimitAboveHardMax);
  e.name_ = resource;
  e.requested_ = requested;
  e.limit_ = hard_max;
  return e;
}

DiceError DiceError::invalid_modifier(const char* message) {
  DiceError e(DiceErrorKind::InvalidModifier);
  e.name_ = message;
  return e;
}

DiceError DiceError::negative_limit(std::string name) {
  DiceError e(DiceErrorKind::NegativeLimit);
  e.message_ = std::move(name);
  return e;
}

std::string DiceError::display() const {
  std::string out;
  switch (kind_) {
    case DiceErrorKind::ParseError:
      out = "解析错误: ";
      out += message_;
      break;
    case DiceErrorKind::ArithmeticOverflow:
      out = "[arithmetic.overflow] checked i64 overflow during ";
      out += name();
      break;
    case DiceErrorKind::DivisionByZero: out = "[arithmetic.divide_by_zero] 除零错误"; break;
    case DiceErrorKind::InvalidExponent:
      out = "[arithmetic.invalid_exponent] exponent ";
      append_decimal(out, exponent_);
      out += " must fit unsigned 32-bit range";
      break;
    case DiceErrorKind::EntropyUnavailable:
      out = "[random.entropy_unavailable] operating-system entropy is unavailable: ";
      out += message_;
      break;
    case DiceErrorKind::InvalidDiceExpression:
      out = "无效的骰子表达式: ";
      out += message_;
      break;
    case DiceErrorKind::InstructionLimitExceeded:
      out = "[limit.parsed_instructions] 程序指令数量超过限制: 最多 ";
      append_decimal(out, limit_);
      out += " 条";
      break;
    case DiceErrorKind::BudgetExceeded:
      out = "[limit.";
      out += name();
      out += "] 计算预算已耗尽: used ";
      append_decimal(out, used_);
      out += ", requested ";
      append_decimal(out, requested_);
      out += ", limit ";
      append_decimal(out, limit_);
      break;
    case DiceErrorKind::GeneratedValuesExceeded:
      out = "[limit.generated_values] 计算预算已耗尽: 最多生成 ";
      append_decimal(out, limit_);
      out += " 个骰子结果; used ";
      append_decimal(out, used_);
      out += ", requested ";
      append_decimal(out, requested_);
      break;
    case DiceErrorKind::UnknownLimit:
      out = "[policy.invalid_limit] unknown resource limit: ";
      out += message_;
      break;
    case DiceErrorKind::LimitAboveHardMax:
      out = "[policy.limit_above_hard_max] ";
      out += name();
      out += " limit ";
      append_decimal(out, requested_);
      out += " exceeds hard maximum ";
      append_decimal(out, limit_);
      break;
    case DiceErrorKind::InvalidModifier: out = name(); break;
    case DiceErrorKind::NegativeLimit:
      out = "[policy.invalid_limit] ";
      out += message_;
      out += " limit must be non-negative";
      break;
  }
  return out;
}

}  // namespace kavelo
