// The pool programme's walk of each outcome's values through the stream steps: the
// guesses of the values to come, the branches they make, and how each source state's
// table moves onto the states of the next outcome (see pool_odds.cpp for the method).

#include "odds/pool_programme.hpp"

namespace kavelo::odds::pool {

PoolProgramme::Level PoolProgramme::after_last(const Level& at, std::int64_t after) const {
  const StreamOp& op = ops_[at.i];
  // The lowest n values of the stream are the last n: of these `count`, the last
  // min(count, n - after) are among them.
  const std::int64_t low = op.n > after ? std::min(at.count, op.n - after) : 0;
  const bool take = op.kind == StreamKind::TakeLast;
  const std::int64_t next_rest = take ? std::min(op.n, after) : after - std::min(after, op.n);
  return {at.i + 1, take ? low : at.count - low, true, next_rest, next_rest};
}

std::optional<PoolProgramme::Level> PoolProgramme::walk(Level level, std::vector<std::int64_t>& ops,
                                                        std::vector<Guess>& guesses) const {
  while (level.i < ops_.size()) {
    const StreamOp& op = ops_[level.i];
    std::int64_t& state = ops[level.i];
    const std::int64_t count = level.count;
    const std::int64_t rest = level.rest;
    const std::int64_t bound = level.bound;
    switch (op.kind) {
      case StreamKind::TakeFirst: {
        const std::int64_t taken = std::min(count, op.n - state);
        state += taken;
        const std::int64_t room = op.n - state;
        level = {level.i + 1, taken, level.known, std::min(room, rest), std::min(room, bound)};
        break;
      }
      case StreamKind::DropFirst: {
        const std::int64_t dropped = std::min(count, op.n - state);
        state += dropped;
        const std::int64_t left = op.n - state;
        level = {level.i + 1, count - dropped, level.known, rest - std::min(rest, left),
                 bound - std::min(bound, left)};
        break;
      }
      case StreamKind::TakeLast:
      case StreamKind::DropLast: {
        if (state != kNoGuess) {
          const std::int64_t after = state - count;
          if (after < 0 || (level.known && after != rest)) return std::nullopt;  // wrong
          state = level.known ? kNoGuess : after;
          level = after_last(level, after);
        } else if (level.known) {
          level = after_last(level, rest);
        } else if (count == 0) {
          const bool take = op.kind == StreamKind::TakeLast;
          level = {level.i + 1, 0, false, 0, take ? std::min(op.n, bound) : bound};
        } else {
          // Guess how many values are still to come; the wrong guesses die later.
          if (bound < 0) return std::nullopt;
          if (bound > 0) guesses.push_back({level, 1, bound});
          state = 0;
          level = after_last(level, 0);
        }
        break;
      }
      case StreamKind::Distinct:
        level = {level.i + 1, std::min<std::int64_t>(count, 1), level.known && rest <= 1, rest,
                 std::min(bound, outcomes_after_)};
        break;
    }
  }
  return level;
}

OddsStatus PoolProgramme::feed(std::int64_t count, bool known, std::int64_t rest,
                               std::int64_t bound, const std::vector<std::int64_t>& ops,
                               std::size_t key_size, StepScratch& scratch) {
  std::vector<Branch>& out = scratch.branches;
  std::vector<Guess>& guesses = scratch.guesses;
  std::vector<std::int64_t>& path = scratch.path;
  out.clear();
  guesses.clear();
  path = ops;
  const std::uint64_t steps = ops_.size();
  const std::uint64_t branch_cells = steps + 4;
  std::optional<Level> from = Level{0, count, known, rest, bound};
  while (true) {
    if (from) {
      KAVELO_ODDS_TRY(meter_.work((steps - from->i + 1) * kStepWork));
      const std::optional<Level> end = walk(*from, path, guesses);
      if (end) {
        KAVELO_ODDS_TRY(meter_.work(kFiledBranchWork + kKeyWork * key_size));
        KAVELO_ODDS_TRY(meter_.outcomes(out.size() + 1, "one step of a pool"));
        KAVELO_ODDS_TRY(scratch.branches_hold.set(meter_, (out.size() + 1) * branch_cells));
        out.push_back({path, end->count});
      }
    }
    if (guesses.empty()) return {};
    Guess& guess = guesses.back();
    const Level at = guess.at;
    const std::int64_t after = guess.next;
    if (guess.next == guess.last) {
      guesses.pop_back();
    } else {
      ++guess.next;
    }
    // Back to the guessing step: the steps after it as they were before the walk
    // reached them, its own state the guess.
    std::copy(ops.begin() + static_cast<std::ptrdiff_t>(at.i), ops.end(),
              path.begin() + static_cast<std::ptrdiff_t>(at.i));
    path[at.i] = after;
    from = after_last(at, after);
  }
}

bool PoolProgramme::finished(const std::vector<std::int64_t>& key, bool& wrong) const {
  wrong = false;
  const std::size_t base = key.size() - ops_.size();
  if (key[0] == 0) return true;  // no dice left: every guess was checked at rest 0
  std::size_t closed = ops_.size();
  for (std::size_t i = 0; i < ops_.size(); ++i) {
    if (ops_[i].kind == StreamKind::TakeFirst && key[base + i] >= ops_[i].n) {
      closed = i;
      break;
    }
  }
  if (closed == ops_.size()) {
    // A tally is fixed once the outcomes pass its target.
    if (!tally_ || outcome_ > *tally_) return false;
  }
  for (std::size_t i = 0; i < ops_.size(); ++i) {
    const bool guessing =
        (ops_[i].kind == StreamKind::TakeLast || ops_[i].kind == StreamKind::DropLast) &&
        key[base + i] != kNoGuess;
    if (!guessing) continue;
    if (i < closed) return false;  // its guess still needs the values to come
    if (key[base + i] != 0) {      // nothing reaches it any more
      wrong = true;
      return false;
    }
  }
  return true;
}

OddsStatus PoolProgramme::step() {
  std::vector<State> previous = std::move(states_);
  states_.clear();
  index_.clear();
  // The previous states' keys stay held until they are gone; the index's copies go now.
  std::uint64_t previous_cells = 0;
  for (const State& state : previous) previous_cells += state.key.size() + kStateCells;
  key_cells_ = previous_cells;
  KAVELO_ODDS_TRY(keys_hold_.set(meter_, key_cells_));
  StepScratch scratch;
  for (State& source : previous) {
    CellHold joints_held;
    auto joints = joint_of(source.key, joints_held);
    if (!joints) return std::unexpected(std::move(joints.error()));
    scratch.finals.clear();
    scratch.moves.clear();
    for (const Joint& j : *joints) {
      KAVELO_ODDS_TRY(file_joint(source.key, j, scratch));
    }
    KAVELO_ODDS_TRY(settle(source, scratch));
  }
  std::vector<State>().swap(previous);
  key_cells_ -= std::min(key_cells_, previous_cells);
  return keys_hold_.set(meter_, key_cells_);
}

OddsStatus PoolProgramme::file_joint(const std::vector<std::int64_t>& source_key, const Joint& j,
                                     StepScratch& scratch) {
  const std::size_t base = source_key.size() - ops_.size();
  // The values still to come from the dice, exact when every class has groups of
  // one length.
  bool known = true;
  std::int64_t rest = 0;
  std::int64_t bound = 0;
  for (const auto& [id, n] : j.classes) {
    const Node& node = nodes_[static_cast<std::size_t>(id)];
    if (node.min_len != node.max_len) known = false;
    rest += n * node.min_len;
    bound += n * node.max_len;
  }
  scratch.ops.assign(source_key.begin() + static_cast<std::ptrdiff_t>(base), source_key.end());
  KAVELO_ODDS_TRY(meter_.work(kJointWork));
  KAVELO_ODDS_TRY(
      feed(j.shown, known, known ? rest : 0, bound, scratch.ops, source_key.size(), scratch));
  for (Branch& b : scratch.branches) {
    KAVELO_ODDS_TRY(file_branch(j, b, scratch));
  }
  return {};
}

OddsStatus PoolProgramme::file_branch(const Joint& j, Branch& b, StepScratch& scratch) {
  std::int64_t delta = 0;
  if (tally_) {
    delta = outcome_ == *tally_ ? b.emitted : 0;
  } else {
    const std::int64_t value = negated_ ? -outcome_ : outcome_;
    if (__builtin_mul_overflow(b.emitted, value, &delta)) {
      return std::unexpected(too_complex("a pool total leaves the 64-bit range"));
    }
  }
  // Built in a buffer of the step, copied only for a state that is new.
  std::vector<std::int64_t>& key = scratch.key;
  key.clear();
  key.push_back(static_cast<std::int64_t>(j.classes.size()));
  for (const auto& [id, n] : j.classes) {
    key.push_back(id);
    key.push_back(n);
  }
  key.insert(key.end(), b.ops.begin(), b.ops.end());
  bool wrong = false;
  if (finished(key, wrong)) {
    scratch.finals.emplace_back(delta, j.p);
    return {};
  }
  if (wrong) return {};
  auto found = index_.find(key);
  if (found == index_.end()) {
    KAVELO_ODDS_TRY(meter_.outcomes(states_.size() + 1, "a pool's states"));
    // The key twice (the state's and the index's) and the entries around it.
    key_cells_ += 2 * key.size() + kStateCells;
    KAVELO_ODDS_TRY(keys_hold_.set(meter_, key_cells_));
    found = index_.emplace(key, states_.size()).first;
    states_.push_back({key, Acc{}});
  }
  scratch.moves.push_back({found->second, delta, j.p});
  return {};
}

OddsStatus PoolProgramme::settle(State& source, StepScratch& scratch) {
  auto& finals = scratch.finals;
  const auto& moves = scratch.moves;
  // Finished contributions with equal shifts go in together.
  std::sort(finals.begin(), finals.end());
  for (std::size_t f = 0; f < finals.size();) {
    const std::int64_t delta = finals[f].first;
    double p = 0.0;
    for (; f < finals.size() && finals[f].first == delta; ++f) p += finals[f].second;
    KAVELO_ODDS_TRY(add_into(final_, source.acc, delta, p, meter_));
  }
  for (std::size_t m = 0; m < moves.size(); ++m) {
    Acc& target = states_[moves[m].target].acc;
    if (m + 1 == moves.size()) {
      KAVELO_ODDS_TRY(move_into(target, std::move(source.acc), moves[m].delta, moves[m].p, meter_));
    } else {
      KAVELO_ODDS_TRY(add_into(target, source.acc, moves[m].delta, moves[m].p, meter_));
    }
  }
  source.acc = Acc{};
  return {};
}

}  // namespace kavelo::odds::pool
