// Distributions of totals and the arithmetic between them.
//
// Sums of dense distributions are direct convolutions over the ranges that hold any
// probability: no transform, so tiny probabilities keep their relative accuracy. The
// other operations go pair by pair through the roller's own checked arithmetic, so an
// outcome fails exactly when the roll would.
#include "odds/distribution.hpp"

#include <algorithm>
#include <bit>
#include <optional>

#include "calculator/checked_arithmetic.hpp"

namespace kavelo::odds {

namespace {

// Pairs gathered before they are sorted and merged into the result.
constexpr std::size_t kPairChunk = std::size_t{1} << 16;
constexpr std::uint64_t kPairWork = 64;

Failure failure_of(const DiceError& error) noexcept {
  switch (error.kind()) {
    case DiceErrorKind::DivisionByZero: return Failure::DivideByZero;
    case DiceErrorKind::InvalidExponent: return Failure::InvalidExponent;
    default: return Failure::Overflow;
  }
}

Result<std::int64_t> apply(ExprKind kind, std::int64_t a, std::int64_t b) {
  switch (kind) {
    case ExprKind::Add: return checked_add(a, b, "addition");
    case ExprKind::Subtract: return checked_subtract(a, b);
    case ExprKind::Multiply: return checked_multiply(a, b, "multiplication");
    case ExprKind::Divide: return checked_divide(a, b);
    default: return checked_power(a, b);
  }
}

// Sorts `pairs` by value and merges equal values in place.
void sort_and_merge(std::vector<std::pair<std::int64_t, double>>& pairs) {
  std::sort(pairs.begin(), pairs.end(),
            [](const auto& x, const auto& y) { return x.first < y.first; });
  std::size_t out = 0;
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    if (out > 0 && pairs[out - 1].first == pairs[i].first) {
      pairs[out - 1].second += pairs[i].second;
    } else {
      pairs[out++] = pairs[i];
    }
  }
  pairs.resize(out);
}

// Merges the sorted, distinct `chunk` into the sorted, distinct `merged`.
void merge_into(std::vector<std::pair<std::int64_t, double>>& merged,
                const std::vector<std::pair<std::int64_t, double>>& chunk,
                std::vector<std::pair<std::int64_t, double>>& scratch) {
  scratch.clear();
  scratch.reserve(merged.size() + chunk.size());
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < merged.size() || j < chunk.size()) {
    if (j == chunk.size() || (i < merged.size() && merged[i].first < chunk[j].first)) {
      scratch.push_back(merged[i++]);
    } else if (i == merged.size() || chunk[j].first < merged[i].first) {
      scratch.push_back(chunk[j++]);
    } else {
      scratch.emplace_back(merged[i].first, merged[i].second + chunk[j].second);
      ++i;
      ++j;
    }
  }
  merged.swap(scratch);
}

// left op right for every pair of outcomes.
OddsResult<Dist> pairwise(ExprKind kind, const Dist& left, const Dist& right, Meter& meter,
                          std::array<double, kFailureKinds>& failures) {
  // A pair is a checked operation, a store and its share of a sort: priced at what
  // that costs against a multiply-add of a convolution.
  KAVELO_ODDS_TRY(meter.work(static_cast<std::uint64_t>(left.size()) * right.size() * kPairWork));
  std::vector<std::pair<std::int64_t, double>> merged;
  std::vector<std::pair<std::int64_t, double>> chunk;
  std::vector<std::pair<std::int64_t, double>> scratch;
  CellHold hold;
  const std::uint64_t pairs = static_cast<std::uint64_t>(left.size()) * right.size();
  chunk.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(pairs, kPairChunk)));
  KAVELO_ODDS_TRY(hold.set(meter, 2 * chunk.capacity()));
  auto flush = [&]() -> OddsStatus {
    sort_and_merge(chunk);
    if (merged.empty()) {
      merged.swap(chunk);
    } else {
      KAVELO_ODDS_TRY(meter.work(merged.size() + chunk.size()));
      merge_into(merged, chunk, scratch);
    }
    chunk.clear();
    KAVELO_ODDS_TRY(meter.outcomes(merged.size(), "an operation's result"));
    return hold.set(meter, 2 * (kPairChunk + merged.size() + scratch.capacity()));
  };
  const auto lv = left.values();
  const auto lp = left.probs();
  const auto rv = right.values();
  const auto rp = right.probs();
  for (std::size_t i = 0; i < lv.size(); ++i) {
    for (std::size_t j = 0; j < rv.size(); ++j) {
      const double p = lp[i] * rp[j];
      auto value = apply(kind, lv[i], rv[j]);
      if (!value) {
        failures[static_cast<std::size_t>(failure_of(value.error()))] += p;
        continue;
      }
      chunk.emplace_back(*value, p);
      if (chunk.size() == kPairChunk) KAVELO_ODDS_TRY(flush());
    }
  }
  if (!chunk.empty() || merged.empty()) KAVELO_ODDS_TRY(flush());
  scratch = {};
  return Dist::from_pairs(merged, meter, "an operation's result");
}

// Index of the first and one past the last nonzero probability; an all-zero list gives
// an empty range at 0.
std::pair<std::size_t, std::size_t> nonzero_range(std::span<const double> probs) {
  std::size_t begin = 0;
  while (begin < probs.size() && probs[begin] == 0.0) ++begin;
  if (begin == probs.size()) return {0, 0};
  std::size_t end = probs.size();
  while (probs[end - 1] == 0.0) --end;
  return {begin, end};
}

// The outcomes of `d` written densely over [min, max] (zeros where it has none).
std::vector<double> dense_of(const Dist& d) {
  const std::uint64_t span =
      static_cast<std::uint64_t>(d.max()) - static_cast<std::uint64_t>(d.min()) + 1;
  std::vector<double> dense(static_cast<std::size_t>(span), 0.0);
  const auto values = d.values();
  const auto probs = d.probs();
  for (std::size_t i = 0; i < values.size(); ++i) {
    dense[static_cast<std::size_t>(static_cast<std::uint64_t>(values[i]) -
                                   static_cast<std::uint64_t>(d.min()))] = probs[i];
  }
  return dense;
}

std::uint64_t span_of(const Dist& d) {
  return static_cast<std::uint64_t>(d.max()) - static_cast<std::uint64_t>(d.min()) + 1;
}

// Whether the convolution of `a` and `b` is better done densely: both dense enough and
// their ranges of a size the limits allow.
bool dense_enough(const Dist& d) { return span_of(d) <= 4 * d.size() + 64; }

// `left + right` by direct convolution; `right_reversed` convolves with the mirror image
// of `right` instead, which gives `left - right`. The caller has checked that no sum
// leaves the 64-bit range.
OddsResult<Dist> dense_convolution(const Dist& left, const Dist& right, bool right_reversed,
                                   std::int64_t low, Meter& meter) {
  std::vector<double> a = dense_of(left);
  std::vector<double> b = dense_of(right);
  if (right_reversed) std::reverse(b.begin(), b.end());
  const std::size_t out_size = a.size() + b.size() - 1;
  KAVELO_ODDS_TRY(meter.outcomes(out_size, "a sum"));
  CellHold hold;
  KAVELO_ODDS_TRY(hold.set(meter, a.size() + b.size() + 2 * out_size));
  const auto [a0, a1] = nonzero_range(a);
  const auto [b0, b1] = nonzero_range(b);
  std::vector<double> out(out_size, 0.0);
  if (a1 > a0 && b1 > b0) {
    KAVELO_ODDS_TRY(meter.work(static_cast<std::uint64_t>(a1 - a0) * (b1 - b0)));
    const double* __restrict bp = b.data() + b0;
    const std::size_t bn = b1 - b0;
    for (std::size_t i = a0; i < a1; ++i) {
      const double x = a[i];
      if (x == 0.0) continue;
      double* __restrict o = out.data() + i + b0;
      for (std::size_t j = 0; j < bn; ++j) o[j] += x * bp[j];
    }
  }
  const bool keep_all = left.contiguous() && right.contiguous();
  std::vector<std::int64_t> values;
  std::vector<double> probs;
  values.reserve(keep_all ? out_size : 0);
  probs.reserve(keep_all ? out_size : 0);
  for (std::size_t k = 0; k < out_size; ++k) {
    if (keep_all || out[k] != 0.0 || k == 0 || k + 1 == out_size) {
      values.push_back(static_cast<std::int64_t>(static_cast<std::uint64_t>(low) + k));
      probs.push_back(out[k]);
    }
  }
  return Dist::from_sorted(std::move(values), std::move(probs), meter, "a sum");
}

// The joint failures and truncation of `left op right` before the operation's own
// failures: the right operand is rolled only after the left one gave a total.
void chain_failures(const Dist& left, const Dist& right, Dist& out) {
  const double left_mass = left.mass();
  for (int k = 0; k < kFailureKinds; ++k) {
    out.failures[k] += left.failures[k] + left_mass * right.failures[k];
  }
  out.truncated = left.truncated + left_mass * right.truncated;
}

}  // namespace

std::string_view failure_key(Failure failure) noexcept {
  switch (failure) {
    case Failure::Overflow: return "arithmetic.overflow";
    case Failure::DivideByZero: return "arithmetic.divide_by_zero";
    case Failure::InvalidExponent: return "arithmetic.invalid_exponent";
    case Failure::InvalidDice: return "无效的骰子表达式: 骰子数量和面数必须大于0";
  }
  return "";
}

OddsResult<Dist> Dist::point(std::int64_t value, Meter& meter) {
  return from_sorted({value}, {1.0}, meter, "a number");
}

Dist Dist::certain_failure(Failure failure) {
  Dist d;
  d.failures[static_cast<std::size_t>(failure)] = 1.0;
  return d;
}

OddsResult<Dist> Dist::from_pairs(std::vector<std::pair<std::int64_t, double>>& pairs, Meter& meter,
                                  const char* what) {
  KAVELO_ODDS_TRY(meter.work(pairs.size()));
  if (!std::is_sorted(pairs.begin(), pairs.end(),
                      [](const auto& x, const auto& y) { return x.first < y.first; })) {
    sort_and_merge(pairs);
  } else {
    // Sorted, but equal neighbours may remain.
    std::size_t out = 0;
    for (std::size_t i = 0; i < pairs.size(); ++i) {
      if (out > 0 && pairs[out - 1].first == pairs[i].first) {
        pairs[out - 1].second += pairs[i].second;
      } else {
        pairs[out++] = pairs[i];
      }
    }
    pairs.resize(out);
  }
  std::vector<std::int64_t> values(pairs.size());
  std::vector<double> probs(pairs.size());
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    values[i] = pairs[i].first;
    probs[i] = pairs[i].second;
  }
  return from_sorted(std::move(values), std::move(probs), meter, what);
}

OddsResult<Dist> Dist::from_sorted(std::vector<std::int64_t> values, std::vector<double> probs,
                                   Meter& meter, const char* what) {
  KAVELO_ODDS_TRY(meter.outcomes(values.size(), what));
  Dist d;
  KAVELO_ODDS_TRY(d.hold_.set(meter, 2 * values.size()));
  d.values_ = std::move(values);
  d.probs_ = std::move(probs);
  return d;
}

double Dist::mass() const noexcept {
  CompensatedSum sum;
  for (double p : probs_) sum.add(p);
  return sum.value();
}

void Dist::scale(double factor) noexcept {
  for (double& p : probs_) p *= factor;
  for (double& f : failures) f *= factor;
  truncated *= factor;
}

void Dist::settle_mass() noexcept {
  CompensatedSum rest;
  for (double f : failures) rest.add(f);
  rest.add(truncated);
  const double target = 1.0 - rest.value();
  const double current = mass();
  if (current <= 0.0 || target <= 0.0) return;
  const double factor = target / current;
  for (double& p : probs_) p *= factor;
}

double Dist::trim_upper_tail(double budget) noexcept {
  double moved = 0.0;
  std::size_t keep = values_.size();
  while (keep > 1 && moved + probs_[keep - 1] <= budget) {
    moved += probs_[keep - 1];
    --keep;
  }
  if (keep == values_.size()) return 0.0;
  values_.resize(keep);
  probs_.resize(keep);
  truncated += moved;
  return moved;
}

OddsResult<Dist> combine(ExprKind kind, const Dist& left, const Dist& right, Meter& meter) {
  Dist out;
  std::array<double, kFailureKinds> op_failures{};
  if (!left.empty() && !right.empty()) {
    bool done = false;
    if ((kind == ExprKind::Add || kind == ExprKind::Subtract) && dense_enough(left) &&
        dense_enough(right)) {
      // Dense when no sum can leave the 64-bit range: the extreme sums fit.
      std::int64_t low = 0;
      std::int64_t high = 0;
      const bool fits = kind == ExprKind::Add
                            ? !__builtin_add_overflow(left.min(), right.min(), &low) &&
                                  !__builtin_add_overflow(left.max(), right.max(), &high)
                            : !__builtin_sub_overflow(left.min(), right.max(), &low) &&
                                  !__builtin_sub_overflow(left.max(), right.min(), &high);
      if (fits) {
        auto dense = dense_convolution(left, right, kind == ExprKind::Subtract, low, meter);
        if (!dense) return dense;
        out = std::move(*dense);
        done = true;
      }
    }
    if (!done) {
      auto pairs = pairwise(kind, left, right, meter, op_failures);
      if (!pairs) return pairs;
      out = std::move(*pairs);
    }
  }
  chain_failures(left, right, out);
  for (int k = 0; k < kFailureKinds; ++k) out.failures[k] += op_failures[k];
  return out;
}

OddsResult<Dist> sum_of_copies(const Dist& one, std::uint64_t count, Meter& meter,
                               double trim_budget) {
  // A sum of c dice trimmed by e ends up in the final sum of `count` dice at most
  // count / c times (squarings and additions multiply what was left out), so each step
  // that convolves trims at most its share of the budget times c / count.
  const int steps = 2 * static_cast<int>(std::bit_width(count));
  const double step_budget = trim_budget > 0.0 ? trim_budget / steps : 0.0;
  auto add = [&](const Dist& a, const Dist& b, std::uint64_t dice) -> OddsResult<Dist> {
    auto sum = combine(ExprKind::Add, a, b, meter);
    if (!sum) return sum;
    if (step_budget > 0.0) {
      sum->trim_upper_tail(step_budget * static_cast<double>(dice) / static_cast<double>(count));
    }
    return sum;
  };
  auto copy_of = [&](const Dist& d) -> OddsResult<Dist> {
    auto copy =
        Dist::from_sorted(std::vector<std::int64_t>(d.values().begin(), d.values().end()),
                          std::vector<double>(d.probs().begin(), d.probs().end()), meter, "a sum");
    if (copy) {
      copy->failures = d.failures;
      copy->truncated = d.truncated;
    }
    return copy;
  };
  // The failures and truncation of the dice combine as independent events: a sum
  // finishes only when every die does.
  std::optional<Dist> result;
  std::uint64_t result_dice = 0;
  auto first = copy_of(one);
  if (!first) return first;
  Dist base = std::move(*first);
  std::uint64_t base_dice = 1;
  std::uint64_t n = count;
  while (true) {
    if (n & 1) {
      if (!result) {
        auto copy = copy_of(base);
        if (!copy) return copy;
        result = std::move(*copy);
      } else {
        auto sum = add(*result, base, result_dice + base_dice);
        if (!sum) return sum;
        result = std::move(*sum);
      }
      result_dice += base_dice;
    }
    n >>= 1;
    if (n == 0) break;
    auto square = add(base, base, 2 * base_dice);
    if (!square) return square;
    base = std::move(*square);
    base_dice *= 2;
  }
  // The power multiplies the rounding error of one die's total by `count` (a thousand
  // ulps for 1000d6, 2e-9 for four million dice): the total is set back to what the
  // failures and the truncated mass leave.
  if (count > 1) result->settle_mass();
  return std::move(*result);
}

}  // namespace kavelo::odds
