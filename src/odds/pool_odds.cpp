// The pool phase: which values the chain of pool modifiers keeps, and their total.
//
// Every pool modifier depends only on the multiset of values (keep and drop sort first,
// unique keeps one of each value, count counts), so the pool is a multiset: the union of
// the groups of independent, identical dice. The distribution of the chain's result is
// computed outcome by outcome, from the highest value down (or from the lowest up, with
// every value negated, when that needs fewer guesses; see below):
//
// - Each die sits in a *class*: the conditional distribution of the values of its group
//   not yet reached. The groups are sorted once (values descending within a group,
//   groups in descending lexicographic order), so a class is a range of groups sharing
//   the values already reached, and reaching value v splits it into the dice that show v
//   once, twice, ... and the dice that do not. Classes with the same conditional
//   distribution are merged (an exploding die that showed its sides k times has the
//   same last face to come whatever k was), so plain dice keep one class and exploding
//   dice two.
// - The state of the programme is the number of dice in each class, the state of every
//   modifier of the chain (how many values a keep-highest has kept, ...) and a
//   distribution of the total so far. The dice of a class move to the classes below
//   together, by a binomial law for two classes, a convolution when they all go to one
//   class (the run of a die's highest face), or die by die otherwise.
// - The values reaching the chain arrive in descending order with their counts. Keep
//   highest and drop highest then only count; keep lowest and drop lowest need the
//   number of values still to come. When it is not known (after unique, or with groups
//   of several lengths) the programme guesses it and drops the guesses that turn out
//   wrong, so exactly one guess of each roll survives.
// - A state whose total can no longer change (no dice left, or a keep that is full) is
//   finished at once: keeping 3 of 100 dice touches only the top of the pool.
//
// This file holds the entry point, the chain's simplification and the per-die case; the
// programme is in pool_programme.cpp, the rank window (one value per die, keeps and
// drops or unique alone) in rank_window.cpp, the groups as sorted multisets in
// sorted_groups.hpp and the state they share in pool_state.hpp.
#include "odds/pool_odds.hpp"

#include "odds/pool_state.hpp"

namespace kavelo::odds {

using namespace pool;  // the parts the pool strategies share

std::vector<PoolStep> pool_chain(std::span<const DiceModifier> modifiers) {
  std::vector<PoolStep> steps;
  auto step_of = [](const DiceModifier& m) -> std::optional<PoolStep> {
    switch (modifier_spec(m.kind).effect) {
      case PoolEffect::KeepHighest: return PoolStep{PoolKind::KeepHigh, count_of(m.value), 0};
      case PoolEffect::KeepLowest: return PoolStep{PoolKind::KeepLow, count_of(m.value), 0};
      case PoolEffect::DropHighest: return PoolStep{PoolKind::DropHigh, count_of(m.value), 0};
      case PoolEffect::DropLowest: return PoolStep{PoolKind::DropLow, count_of(m.value), 0};
      case PoolEffect::FirstOfEach: return PoolStep{PoolKind::Unique, 0, 0};
      case PoolEffect::CountOf: return PoolStep{PoolKind::Count, 0, m.value};
      case PoolEffect::Ascending:  // changes no total
      case PoolEffect::None:       // the per-die kinds
        return std::nullopt;
    }
    return std::nullopt;
  };
  // The roller's order: the modifiers acting first on the pool, then the others.
  for (const DiceModifier& m : modifiers) {
    if (!acts_first_on_pool(m.kind)) continue;
    if (auto step = step_of(m)) steps.push_back(*step);
  }
  for (const DiceModifier& m : modifiers) {
    if (acts_first_on_pool(m.kind)) continue;
    if (auto step = step_of(m)) steps.push_back(*step);
  }
  return steps;
}

std::int64_t apply_steps(std::vector<std::int64_t> values, std::span<const PoolStep> steps) {
  for (const PoolStep& step : steps) {
    const std::size_t n = step.n < values.size() ? static_cast<std::size_t>(step.n) : values.size();
    switch (step.kind) {
      case PoolKind::KeepHigh:
        std::sort(values.begin(), values.end(), std::greater<>());
        values.resize(n);
        break;
      case PoolKind::KeepLow:
        std::sort(values.begin(), values.end());
        values.resize(n);
        break;
      case PoolKind::DropHigh:
        std::sort(values.begin(), values.end(), std::greater<>());
        values.erase(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(n));
        break;
      case PoolKind::DropLow:
        std::sort(values.begin(), values.end());
        values.erase(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(n));
        break;
      case PoolKind::Unique: {
        std::sort(values.begin(), values.end());
        values.erase(std::unique(values.begin(), values.end()), values.end());
        break;
      }
      case PoolKind::Count: {
        const auto c = std::count(values.begin(), values.end(), step.target);
        values.assign(1, static_cast<std::int64_t>(c));
        break;
      }
    }
  }
  std::int64_t total = 0;
  for (std::int64_t v : values) total += v;
  return total;
}

// base^n by squaring: a relative error of about 2 log2(n) roundings, and no call of
// libm's pow, whose current symbol version would raise the glibc the wheel needs.
double power(double base, std::uint64_t n) noexcept {
  double result = 1.0;
  while (n != 0) {
    if ((n & 1) != 0) result *= base;
    base *= base;
    n >>= 1;
  }
  return result;
}

double die_mass(const GroupTable& groups) noexcept {
  CompensatedSum sum;
  for (double p : groups.probs) sum.add(p);
  return sum.value();
}

OddsResult<Dist> die_total(const GroupTable& groups, Meter& meter) {
  std::vector<std::pair<std::int64_t, double>> pairs;
  pairs.reserve(groups.size());
  CellHold hold;
  KAVELO_ODDS_TRY(hold.set(meter, 2 * groups.size()));
  for (std::size_t i = 0; i < groups.size(); ++i) {
    std::int64_t sum = 0;
    for (std::int64_t v : groups.group(i)) {
      if (__builtin_add_overflow(sum, v, &sum)) {
        return std::unexpected(too_complex("a die's total leaves the 64-bit range"));
      }
    }
    pairs.emplace_back(sum, groups.probs[i]);
  }
  auto d = Dist::from_pairs(pairs, meter, "one die's totals");
  if (d) d->truncated = groups.truncated;
  return d;
}

namespace {

Chain simplified(std::span<const PoolStep> steps, std::uint64_t bound) {
  Chain chain;
  std::size_t i = 0;
  for (; i < steps.size() && !chain.empty && !chain.target; ++i) {
    const PoolStep& step = steps[i];
    switch (step.kind) {
      case PoolKind::KeepHigh:
      case PoolKind::KeepLow:
        if (step.n == 0) {
          chain.empty = true;
        } else if (step.n < bound) {
          chain.stream.push_back(step);
          bound = step.n;
        }
        break;
      case PoolKind::DropHigh:
      case PoolKind::DropLow:
        if (step.n >= bound) {
          chain.empty = true;
        } else if (step.n > 0) {
          chain.stream.push_back(step);
          bound -= step.n;
        }
        break;
      case PoolKind::Unique:
        if (chain.stream.empty() || chain.stream.back().kind != PoolKind::Unique) {
          chain.stream.push_back(step);
        }
        break;
      case PoolKind::Count: chain.target = step.target; break;
    }
  }
  chain.post.assign(steps.begin() + static_cast<std::ptrdiff_t>(i), steps.end());
  return chain;
}

// Only a count, or nothing at all: per die, then summed over the dice.
OddsResult<Dist> per_die_odds(const GroupTable& groups, std::uint64_t count, const Chain& chain,
                              double trim_budget, Meter& meter) {
  const std::optional<std::int64_t>& target = chain.target;
  Dist per_die;
  if (target) {
    std::vector<std::pair<std::int64_t, double>> pairs;
    for (std::size_t g = 0; g < groups.size(); ++g) {
      const auto group = groups.group(g);
      pairs.emplace_back(std::count(group.begin(), group.end(), *target), groups.probs[g]);
    }
    auto d = Dist::from_pairs(pairs, meter, "a count");
    if (!d) return d;
    per_die = std::move(*d);
    per_die.truncated = groups.truncated;
  } else {
    auto d = die_total(groups, meter);
    if (!d) return d;
    per_die = std::move(*d);
  }
  auto summed = sum_of_copies(per_die, count, meter, target ? 0.0 : trim_budget);
  if (!summed) return summed;
  if (!target) return summed;
  return after_count(*summed, chain.post, meter);
}

}  // namespace

OddsResult<Dist> pool_odds(const GroupTable& groups, std::uint64_t count,
                           std::span<const PoolStep> steps, double trim_budget, Meter& meter) {
  // The mass of the pools some die of which was cut short, 1 - (1 - t)^count without
  // cancellation, and the mass `all` of the others. Where `all` is at least one half it
  // is 1 - truncated: the die's probabilities add up to 1 - t only up to their rounding,
  // which a power of `count` multiplies (2e-7 for 2^31 exploding dice whose t is
  // 1e-25). Below one half the power of the die's mass keeps a small mass's digits.
  const double truncated =
      groups.truncated > 0.0
          ? -std::expm1(static_cast<double>(count) * std::log1p(-groups.truncated))
          : 0.0;
  const double all = truncated <= 0.5 ? 1.0 - truncated : power(die_mass(groups), count);
  std::uint32_t longest = 1;
  for (std::size_t i = 0; i < groups.size(); ++i) {
    longest = std::max<std::uint32_t>(longest, static_cast<std::uint32_t>(groups.group(i).size()));
  }
  const Chain chain = simplified(steps, saturating_mul(count, longest));
  if (chain.empty) {
    // The pool is empty whatever the dice show.
    auto d = Dist::point(apply_steps({}, chain.post), meter);
    if (!d) return d;
    d->scale(all);
    d->truncated = truncated;
    return d;
  }
  if (chain.stream.empty()) return per_die_odds(groups, count, chain, trim_budget, meter);

  const bool single_values = longest == 1;
  const bool keeps_only = std::ranges::none_of(
      chain.stream, [](const PoolStep& s) { return s.kind == PoolKind::Unique; });
  const bool unique_only = chain.stream.size() == 1 && chain.stream[0].kind == PoolKind::Unique;
  if (single_values && (keeps_only || unique_only)) {
    return window_odds(groups, count, chain, unique_only, all, truncated, meter);
  }
  return programme_odds(groups, count, chain, all, truncated, meter);
}

}  // namespace kavelo::odds
