// The rank window: one value per die with only keeps and drops, or unique alone.

#include "odds/pool_state.hpp"
#include "odds/sorted_groups.hpp"

namespace kavelo::odds::pool {

namespace {

// One value per die and only keeps and drops: the chain keeps the values whose rank in
// the sorted pool (highest first) lies in [first, last). Outcome by outcome from the
// highest, the state is the number of dice not yet placed, which all show less than the
// outcomes passed; of m such dice, a binomial number shows the current outcome, and
// their ranks follow those of the dice placed before them. Unique alone is the same
// programme where a value counts once if any die shows it.
class RankWindow {
 public:
  // With `distinct`, a value counts once however many dice show it (unique), and the
  // window is the whole pool.
  RankWindow(std::int64_t dice, std::int64_t first, std::int64_t last, bool distinct,
             std::optional<std::int64_t> tally, Meter& meter)
      : dice_(dice),
        first_(first),
        last_(last),
        distinct_(distinct),
        tally_(tally),
        meter_(meter) {}

  // `values` ascending with their probabilities (adding up to 1).
  OddsResult<Acc> run(std::span<const std::int64_t> values, std::span<const double> probs) {
    const std::size_t k = values.size();
    // Probability of showing at most values[i], summed from the lowest: no subtraction.
    std::vector<double> at_most(k);
    CompensatedSum sum;
    for (std::size_t i = 0; i < k; ++i) {
      sum.add(probs[i]);
      at_most[i] = sum.value();
    }
    // Two state tables of one entry per number of dice left: held on the meter before
    // they are made, so a huge pool is refused instead of allocated.
    constexpr std::uint64_t kAccCells = (sizeof(Acc) + sizeof(double) - 1) / sizeof(double);
    CellHold tables;
    KAVELO_ODDS_TRY(tables.set(meter_, 2 * (static_cast<std::uint64_t>(dice_) + 1) * kAccCells));
    Pass pass;
    pass.states.resize(static_cast<std::size_t>(dice_ + 1));
    pass.next.resize(static_cast<std::size_t>(dice_ + 1));
    pass.states[static_cast<std::size_t>(dice_)].p = {1.0};
    KAVELO_ODDS_TRY(pass.states[static_cast<std::size_t>(dice_)].hold.set(meter_, 1));
    // The states that may hold anything lie in [low, high]; only those are visited, so
    // a large pool costs the spread of its dice left, not the whole table per outcome.
    std::int64_t low = dice_;
    std::int64_t high = dice_;
    for (std::size_t i = k; i-- > 0;) {
      KAVELO_ODDS_TRY(meter_.work(static_cast<std::uint64_t>(high - low + 1)));
      const std::int64_t v = values[i];
      const bool fixed_after = tally_ && v < *tally_;
      pass.next_low = dice_ + 1;
      pass.next_high = 0;
      for (std::int64_t m = std::max<std::int64_t>(low, 1); m <= high; ++m) {
        Acc& acc = pass.states[static_cast<std::size_t>(m)];
        if (acc.p.empty()) continue;
        if (fixed_after || i == 0) {
          // Nothing below can change the result (the lowest outcome takes all dice left).
          std::int64_t delta = 0;
          if (i == 0) KAVELO_ODDS_TRY(shift_of(v, dice_ - m, m, delta));
          KAVELO_ODDS_TRY(add_into(pass.final, acc, fixed_after ? 0 : delta, 1.0, meter_));
          acc = Acc{};
          continue;
        }
        KAVELO_ODDS_TRY(spread(acc, m, v, probs[i], at_most[i - 1], pass));
      }
      std::swap(pass.states, pass.next);
      if (pass.next_low > pass.next_high) break;  // every state has reached the result
      low = pass.next_low;
      high = pass.next_high;
    }
    return std::move(pass.final);
  }

 private:
  struct Move {
    std::int64_t left;
    std::int64_t delta;
    double p;
  };
  // The state tables of one outcome and the next, the result so far, and the buffers
  // of one state, reused from one state to the next.
  struct Pass {
    std::vector<Acc> states;
    std::vector<Acc> next;
    Acc final;
    std::vector<std::pair<std::int64_t, double>> finals;
    std::vector<Move> moves;
    // The range of the next table's states that hold anything.
    std::int64_t next_low = 0;
    std::int64_t next_high = 0;
  };

  // Spreads the table of the state with `m` dice left over how many of them show `v`
  // (each with chance `yes`, below it with `no`): into the result when the window is
  // passed or no dice are left, else into the next table. The last move (fewest dice
  // shown, j = 0 when it is there) takes the table.
  OddsStatus spread(Acc& acc, std::int64_t m, std::int64_t v, double yes, double no, Pass& pass) {
    const std::int64_t placed = dice_ - m;
    KAVELO_ODDS_TRY(meter_.work(kWindowStateWork + static_cast<std::uint64_t>(m) * 8));
    const std::vector<double> w = binomial(m, yes, no);
    auto& finals = pass.finals;
    auto& moves = pass.moves;
    finals.clear();
    moves.clear();
    for (std::int64_t j = m; j >= 0; --j) {
      const double p = w[static_cast<std::size_t>(j)];
      if (p == 0.0) continue;
      std::int64_t delta = 0;
      KAVELO_ODDS_TRY(shift_of(v, placed, j, delta));
      const std::int64_t left = m - j;
      if (left == 0 || placed + j >= last_) {
        finals.emplace_back(delta, p);
      } else {
        moves.push_back({left, delta, p});
      }
    }
    std::sort(finals.begin(), finals.end());
    for (std::size_t f = 0; f < finals.size();) {
      const std::int64_t delta = finals[f].first;
      double p = 0.0;
      for (; f < finals.size() && finals[f].first == delta; ++f) p += finals[f].second;
      KAVELO_ODDS_TRY(add_into(pass.final, acc, delta, p, meter_));
    }
    for (std::size_t x = 0; x < moves.size(); ++x) {
      pass.next_low = std::min(pass.next_low, moves[x].left);
      pass.next_high = std::max(pass.next_high, moves[x].left);
      Acc& target = pass.next[static_cast<std::size_t>(moves[x].left)];
      if (x + 1 == moves.size()) {
        // The last move only; acc is set afresh after the loop.
        // NOLINTNEXTLINE(bugprone-use-after-move)
        KAVELO_ODDS_TRY(move_into(target, std::move(acc), moves[x].delta, moves[x].p, meter_));
      } else {
        KAVELO_ODDS_TRY(add_into(target, acc, moves[x].delta, moves[x].p, meter_));
      }
    }
    acc = Acc{};
    return {};
  }

  // What `count` values of `v` placed after `placed` others add: their overlap with the
  // window, times v for a total, or as a count when v is the tally's target.
  OddsStatus shift_of(std::int64_t v, std::int64_t placed, std::int64_t count,
                      std::int64_t& out) const {
    const std::int64_t overlap =
        distinct_
            ? std::min<std::int64_t>(count, 1)
            : std::max<std::int64_t>(0, std::min(placed + count, last_) - std::max(placed, first_));
    if (tally_) {
      out = v == *tally_ ? overlap : 0;
      return {};
    }
    if (__builtin_mul_overflow(overlap, v, &out)) {
      return std::unexpected(too_complex("a pool total leaves the 64-bit range"));
    }
    return {};
  }

  std::int64_t dice_;
  std::int64_t first_;
  std::int64_t last_;
  bool distinct_;
  std::optional<std::int64_t> tally_;
  Meter& meter_;
};

}  // namespace

// One value per die and only keeps and drops, or unique alone: the window of ranks the
// keeps and drops leave, highest first.
OddsResult<Dist> window_odds(const GroupTable& groups, std::uint64_t count, const Chain& chain,
                             bool unique_only, double all, double truncated, Meter& meter) {
  const auto dice = static_cast<std::int64_t>(count);
  std::int64_t first = 0;
  std::int64_t last = dice;
  for (const PoolStep& step : chain.stream) {
    const auto n = static_cast<std::int64_t>(step.n);
    switch (step.kind) {
      case PoolKind::KeepHigh: last = std::min(last, first + n); break;
      case PoolKind::KeepLow: first = std::max(first, last - n); break;
      case PoolKind::DropHigh: first = std::min(last, first + n); break;
      case PoolKind::DropLow: last = std::max(first, last - n); break;
      default: break;  // unique: the whole pool, each value once
    }
  }
  auto one = die_total(groups, meter);
  if (!one) return one;
  // Normalised: the dice of this path always finish.
  std::vector<double> probs(one->probs().begin(), one->probs().end());
  RankWindow window(dice, first, last, unique_only, chain.target, meter);
  return finish_pool(window.run(one->values(), probs), chain, all, truncated, meter);
}

}  // namespace kavelo::odds::pool
