// A distribution of totals: outcomes ascending with their probabilities, the probability
// of each kind of failure, and the mass left out where a roll could go on without end.
//
// The probabilities of the outcomes, the failures and the truncated mass add up to 1.
// An outcome is listed when the roll can give it; its probability may be 0 when it lies
// below the smallest binary64 (all ones on 1000d6, for example).
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "odds/meter.hpp"
#include "types/expression.hpp"

namespace kavelo::odds {

// The errors a roll can end in instead of a total.
enum class Failure : std::uint8_t { Overflow, DivideByZero, InvalidExponent, InvalidDice };
inline constexpr int kFailureKinds = 4;

// How a failure is named: the code of its error text, or the whole text of an error that
// carries no code.
[[nodiscard]] std::string_view failure_key(Failure failure) noexcept;

// A sum that keeps the rounding error of every addition (Neumaier), for masses made of
// many small terms.
class CompensatedSum {
 public:
  void add(double x) noexcept {
    const double t = sum_ + x;
    compensation_ += std::fabs(sum_) >= std::fabs(x) ? (sum_ - t) + x : (x - t) + sum_;
    sum_ = t;
  }
  [[nodiscard]] double value() const noexcept { return sum_ + compensation_; }

 private:
  double sum_ = 0.0;
  double compensation_ = 0.0;
};

class Dist {
 public:
  Dist() = default;
  Dist(Dist&&) noexcept = default;
  Dist& operator=(Dist&&) noexcept = default;

  // The certain outcome `value`.
  [[nodiscard]] static OddsResult<Dist> point(std::int64_t value, Meter& meter);
  // A certain failure.
  [[nodiscard]] static Dist certain_failure(Failure failure);
  // Outcomes given as (value, probability) pairs in any order, equal values merged.
  // The pairs' storage is reused.
  [[nodiscard]] static OddsResult<Dist> from_pairs(
      std::vector<std::pair<std::int64_t, double>>& pairs, Meter& meter, const char* what);
  // Outcomes already ascending and distinct.
  [[nodiscard]] static OddsResult<Dist> from_sorted(std::vector<std::int64_t> values,
                                                    std::vector<double> probs, Meter& meter,
                                                    const char* what);

  [[nodiscard]] std::size_t size() const noexcept { return values_.size(); }
  [[nodiscard]] bool empty() const noexcept { return values_.empty(); }
  [[nodiscard]] std::span<const std::int64_t> values() const noexcept { return values_; }
  [[nodiscard]] std::span<const double> probs() const noexcept { return probs_; }
  [[nodiscard]] std::int64_t min() const noexcept { return values_.front(); }
  [[nodiscard]] std::int64_t max() const noexcept { return values_.back(); }
  // True when every integer from min to max is an outcome.
  [[nodiscard]] bool contiguous() const noexcept {
    return !values_.empty() && static_cast<std::uint64_t>(values_.back()) -
                                       static_cast<std::uint64_t>(values_.front()) ==
                                   values_.size() - 1;
  }
  // The probability of giving a total.
  [[nodiscard]] double mass() const noexcept;

  std::array<double, kFailureKinds> failures{};
  double truncated = 0.0;

  // Scales every probability, failure and the truncated mass (a sub-distribution of
  // independent dice that each finish with probability below 1).
  void scale(double factor) noexcept;
  // Rescales the outcomes so that they hold exactly the mass the failures and the
  // truncated mass leave. Those are small and accurate, while the outcomes' total carries
  // the rounding of every step that made it.
  void settle_mass() noexcept;
  // Moves the highest outcomes whose probabilities add up to at most `budget` into the
  // truncated mass; returns the mass moved.
  double trim_upper_tail(double budget) noexcept;

 private:
  std::vector<std::int64_t> values_;
  std::vector<double> probs_;
  CellHold hold_;
};

// The distribution of `left op right` for independent operands, evaluated left first: a
// failure or truncation of the left operand ends the roll before the right one is rolled.
[[nodiscard]] OddsResult<Dist> combine(ExprKind kind, const Dist& left, const Dist& right,
                                       Meter& meter);

// The distribution of the sum of `count` independent copies of `one` (count >= 1). When
// `trim_budget` is positive, each convolution step may move up to a share of it from the
// upper tail into the truncated mass (used for explosions, whose tails never end).
[[nodiscard]] OddsResult<Dist> sum_of_copies(const Dist& one, std::uint64_t count, Meter& meter,
                                             double trim_budget);

}  // namespace kavelo::odds
