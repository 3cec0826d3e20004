// The pool programme: any chain of pool modifiers over any groups, the outcomes streamed
// in the order that needs fewer guesses (see pool_odds.cpp for the method).

#include "odds/pool_state.hpp"
#include "odds/sorted_groups.hpp"

namespace kavelo::odds::pool {

namespace {

// The guess or count states of the stream steps; see the programme's description.
constexpr std::int64_t kNoGuess = -1;

class PoolProgramme {
 public:
  PoolProgramme(const SortedGroups& groups, std::vector<StreamOp> ops, bool negated,
                std::optional<std::int64_t> tally_target, Meter& meter)
      : groups_(groups),
        ops_(std::move(ops)),
        negated_(negated),
        tally_(tally_target),
        meter_(meter) {}

  // The distribution of the chain's result (its total, or for a tally the count of the
  // target value) for `count` dice, normalised to dice that all finish.
  OddsResult<Acc> run(std::int64_t count) {
    // The outcomes, highest first.
    std::vector<std::int64_t> outcomes(groups_.all_values().begin(), groups_.all_values().end());
    std::sort(outcomes.begin(), outcomes.end(), std::greater<>());
    outcomes.erase(std::unique(outcomes.begin(), outcomes.end()), outcomes.end());
    KAVELO_ODDS_TRY(meter_.work(groups_.all_values().size()));

    auto made = node_of(0, groups_.size(), 0);
    if (!made) return std::unexpected(std::move(made.error()));
    const std::int32_t root = *made;
    std::vector<std::int64_t> start;
    if (root == kDone) {
      start = {0};
    } else {
      start = {1, root, count};
    }
    start.insert(start.end(), ops_.size(), 0);
    for (std::size_t i = 0; i < ops_.size(); ++i) {
      if (ops_[i].kind == StreamKind::TakeLast || ops_[i].kind == StreamKind::DropLast) {
        start[start.size() - ops_.size() + i] = kNoGuess;
      }
    }
    Acc zero;
    zero.p = {1.0};
    KAVELO_ODDS_TRY(zero.hold.set(meter_, 1));
    if (root == kDone) {
      return zero;
    }
    states_.clear();
    states_.push_back({std::move(start), std::move(zero)});

    for (std::size_t k = 0; k < outcomes.size() && !states_.empty(); ++k) {
      outcome_ = outcomes[k];
      outcomes_after_ = static_cast<std::int64_t>(outcomes.size() - k - 1);
      ++stamp_;
      KAVELO_ODDS_TRY(step());
    }
    if (!states_.empty()) {
      return std::unexpected(OddsError{"internal: pool states left after the last outcome"});
    }
    return std::move(final_);
  }

 private:
  struct State {
    std::vector<std::int64_t> key;
    Acc acc;
  };

  // A range of groups as a class: kDone when nothing is left to come.
  OddsResult<std::int32_t> node_of(std::uint32_t b, std::uint32_t e, std::uint32_t d) {
    const auto found = node_ids_.find(NodeKey{b, e, d});
    if (found != node_ids_.end()) return found->second;
    KAVELO_ODDS_TRY(meter_.work(kNodeWork));
    KAVELO_ODDS_TRY(hold_tables(kNodeCells));
    const SortedGroups::Summary s = groups_.summary(b, e);
    std::int32_t id = kDone;
    if (s.max_len > d) {
      Node node{b, e, d, s.mass, s.min_len - std::min(s.min_len, d), s.max_len - d};
      auto same = equal_node(node);
      if (!same) return same;
      id = *same;
      if (id == kDone) {
        id = static_cast<std::int32_t>(nodes_.size());
        nodes_.push_back(node);
        transitions_.emplace_back();
      }
    }
    node_ids_.emplace(NodeKey{b, e, d}, id);
    return id;
  }

  // A class made before with the same conditional distribution, or kDone. Candidates
  // are the classes of the same shape (number of groups, lengths to come); an exploding
  // die that showed 1, 2 or 5 first has the same run of sixes to come, whenever it was
  // found. Each comparison is charged before it is made.
  OddsResult<std::int32_t> equal_node(const Node& node) {
    const ShapeKey shape{node.e - node.b, node.min_len, node.max_len};
    std::vector<std::int32_t>& same_shape = by_shape_[shape];
    for (std::int32_t other_id : same_shape) {
      KAVELO_ODDS_TRY(
          meter_.work(static_cast<std::uint64_t>(node.e - node.b) * (node.max_len + 1)));
      const Node& other = nodes_[static_cast<std::size_t>(other_id)];
      bool same = true;
      for (std::uint32_t i = 0; same && i < node.e - node.b; ++i) {
        const auto x = groups_.group(node.b + i).subspan(node.d);
        const auto y = groups_.group(other.b + i).subspan(other.d);
        const double px = groups_.prob(node.b + i) / node.mass;
        const double py = groups_.prob(other.b + i) / other.mass;
        same = std::ranges::equal(x, y) && std::fabs(px - py) <= kMergeTolerance * std::max(px, py);
      }
      if (same) return other_id;
    }
    same_shape.push_back(static_cast<std::int32_t>(nodes_.size()));
    return kDone;
  }

  // How one die of class `id` moves when the current outcome is reached: a pointer into
  // the table, valid until the next class is made.
  OddsResult<const std::vector<Transition>*> transitions(std::int32_t id) {
    if (transitions_[static_cast<std::size_t>(id)].first == stamp_) {
      return &transitions_[static_cast<std::size_t>(id)].second;
    }
    // Built aside: making the child classes may grow the tables.
    std::vector<Transition> list;
    const Node node = nodes_[static_cast<std::size_t>(id)];
    const std::int64_t v = outcome_;
    if (groups_.at(node.b, node.d) != v) {
      list.push_back({0, id, 1.0});
    } else {
      auto add = [&](std::uint32_t b, std::uint32_t e, std::uint32_t d,
                     std::int64_t shown) -> OddsStatus {
        const double mass = groups_.summary(b, e).mass;
        if (mass <= 0.0) return {};
        auto child = node_of(b, e, d);
        if (!child) return std::unexpected(std::move(child.error()));
        list.push_back({shown, *child, mass / node.mass});
        return {};
      };
      const std::uint32_t m = groups_.end_of_value(node.b, node.e, node.d, v);
      if (m < node.e) KAVELO_ODDS_TRY(add(m, node.e, node.d, 0));
      std::uint32_t end = m;
      std::uint32_t depth = node.d + 1;
      // One pass per further copy of v at the head of the groups: at most the length of
      // the longest group.
      for (std::int64_t shown = 1; node.b < end; ++shown, ++depth) {
        KAVELO_ODDS_TRY(meter_.work(kTransitionWork));
        const std::uint32_t next = groups_.end_of_value(node.b, end, depth, v);
        if (next < end) KAVELO_ODDS_TRY(add(next, end, depth, shown));
        end = next;
      }
    }
    KAVELO_ODDS_TRY(hold_tables(2 * list.size()));
    auto& slot = transitions_[static_cast<std::size_t>(id)];
    slot.first = stamp_;
    slot.second = std::move(list);
    return &slot.second;
  }

  // Cells for the programme's own tables (classes, their moves), which only grow.
  OddsStatus hold_tables(std::uint64_t cells) {
    table_cells_ += cells;
    return tables_hold_.set(meter_, table_cells_);
  }

  // How `n` dice of class `id` move together.
  OddsResult<std::vector<Joint>> joint(std::int32_t id, std::int64_t n) {
    auto listed = transitions(id);
    if (!listed) return std::unexpected(std::move(listed.error()));
    const std::vector<Transition> moves = **listed;
    std::vector<Joint> out;
    if (moves.size() == 1) {
      Joint j{moves[0].shown * n, {}, 1.0};
      add_class(j.classes, moves[0].child, n);
      out.push_back(std::move(j));
      return out;
    }
    const bool one_child =
        std::ranges::all_of(moves, [&](const Transition& t) { return t.child == moves[0].child; });
    if (one_child) {
      // Every die goes to the same class: only the number of values shown varies.
      std::int64_t most = 0;
      for (const Transition& t : moves) most = std::max(most, t.shown);
      std::vector<double> one(static_cast<std::size_t>(most + 1), 0.0);
      for (const Transition& t : moves) one[static_cast<std::size_t>(t.shown)] += t.p;
      auto total = power_of(one, n, meter_);
      if (!total) return std::unexpected(std::move(total.error()));
      for (std::size_t s = 0; s < total->size(); ++s) {
        if ((*total)[s] == 0.0) continue;
        Joint j{static_cast<std::int64_t>(s), {}, (*total)[s]};
        add_class(j.classes, moves[0].child, n);
        out.push_back(std::move(j));
      }
      return out;
    }
    if (moves.size() == 2) {
      KAVELO_ODDS_TRY(meter_.work(static_cast<std::uint64_t>(n) * 4));
      // One joint move per split of the n dice between the two children.
      KAVELO_ODDS_TRY(
          meter_.outcomes(static_cast<std::uint64_t>(n) + 1, "the moves of a pool's dice"));
      const std::vector<double> w = binomial(n, moves[0].p, moves[1].p);
      for (std::int64_t a = 0; a <= n; ++a) {
        const double p = w[static_cast<std::size_t>(a)];
        if (p == 0.0) continue;
        Joint j{a * moves[0].shown + (n - a) * moves[1].shown, {}, p};
        add_class(j.classes, moves[0].child, a);
        add_class(j.classes, moves[1].child, n - a);
        out.push_back(std::move(j));
      }
      return out;
    }
    // Die by die: (values shown, dice per distinct child) -> probability.
    std::vector<std::int32_t> children;
    for (const Transition& t : moves) {
      if (std::ranges::find(children, t.child) == children.end()) children.push_back(t.child);
    }
    std::map<std::vector<std::int64_t>, double> current;
    current[std::vector<std::int64_t>(children.size() + 1, 0)] = 1.0;
    // An entry of the map: its key, its node and the key's own allocation.
    const std::uint64_t entry_cells = children.size() + 12;
    CellHold held;
    for (std::int64_t die = 0; die < n; ++die) {
      KAVELO_ODDS_TRY(
          meter_.work(current.size() * moves.size() * (kBranchWork + 4 * children.size())));
      KAVELO_ODDS_TRY(meter_.outcomes(current.size() * moves.size(), "the moves of a pool's dice"));
      KAVELO_ODDS_TRY(
          held.set(meter_, (current.size() + current.size() * moves.size()) * entry_cells));
      std::map<std::vector<std::int64_t>, double> next;
      for (const auto& [key, p] : current) {
        for (const Transition& t : moves) {
          std::vector<std::int64_t> k = key;
          k[0] += t.shown;
          k[1 +
            static_cast<std::size_t>(std::ranges::find(children, t.child) - children.begin())] += 1;
          next[std::move(k)] += p * t.p;
        }
      }
      current = std::move(next);
    }
    for (const auto& [key, p] : current) {
      Joint j{key[0], {}, p};
      for (std::size_t c = 0; c < children.size(); ++c)
        add_class(j.classes, children[c], key[1 + c]);
      out.push_back(std::move(j));
    }
    return out;
  }

  // The moves of every class of a state together; `held` holds their cells on the meter
  // for as long as the caller keeps them.
  OddsResult<std::vector<Joint>> joint_of(const std::vector<std::int64_t>& key, CellHold& held) {
    const auto classes = static_cast<std::size_t>(key[0]);
    std::vector<Joint> all{{0, {}, 1.0}};
    std::size_t widest = 0;  // the most classes any joint move of `all` has
    for (std::size_t c = 0; c < classes; ++c) {
      const auto id = static_cast<std::int32_t>(key[1 + 2 * c]);
      const std::int64_t n = key[2 + 2 * c];
      auto own = joint(id, n);
      if (!own) return own;
      std::size_t own_widest = 0;
      for (const Joint& j : *own) own_widest = std::max(own_widest, j.classes.size());
      if (classes == 1) {
        KAVELO_ODDS_TRY(held.set(meter_, own->size() * (kJointCells + 2 * own_widest)));
        return own;
      }
      KAVELO_ODDS_TRY(meter_.work(all.size() * own->size() * kJointWork));
      KAVELO_ODDS_TRY(meter_.outcomes(all.size() * own->size(), "the moves of a pool's dice"));
      widest += own_widest;
      KAVELO_ODDS_TRY(held.set(meter_, (all.size() + all.size() * own->size() + own->size()) *
                                           (kJointCells + 2 * widest)));
      std::vector<Joint> next;
      next.reserve(all.size() * own->size());
      for (const Joint& a : all) {
        for (const Joint& b : *own) {
          Joint j{a.shown + b.shown, a.classes, a.p * b.p};
          for (const auto& [child, count] : b.classes) add_class(j.classes, child, count);
          next.push_back(std::move(j));
        }
      }
      all = std::move(next);
    }
    return all;
  }

  struct Branch {
    std::vector<std::int64_t> ops;
    std::int64_t emitted;
  };

  // Where the walk through the stream steps stands: the step reached, the values of the
  // current outcome that reach it, and what is known of the values still to come after
  // them (`rest` exact when `known`; `bound` an upper bound of it).
  struct Level {
    std::size_t i;
    std::int64_t count;
    bool known;
    std::int64_t rest;
    std::int64_t bound;
  };
  // A step that guesses how many values are still to come, with the guesses not yet
  // tried: next to last.
  struct Guess {
    Level at;
    std::int64_t next;
    std::int64_t last;
  };

  // A move of a source state's table onto a state of the next outcome.
  struct Move {
    std::size_t target;
    std::int64_t delta;
    double p;
  };
  // The buffers of one step, reused from one source state to the next.
  struct StepScratch {
    std::vector<Branch> branches;
    CellHold branches_hold;
    std::vector<Guess> guesses;
    std::vector<std::int64_t> path;
    std::vector<std::int64_t> key;
    std::vector<std::int64_t> ops;
    // Contributions of one source state: finished ones merged by their shift.
    std::vector<std::pair<std::int64_t, double>> finals;
    std::vector<Move> moves;
  };

  // The level after a keep or drop of the last n values at `at`, given that `after`
  // values follow the ones arriving.
  Level after_last(const Level& at, std::int64_t after) const {
    const StreamOp& op = ops_[at.i];
    // The lowest n values of the stream are the last n: of these `count`, the last
    // min(count, n - after) are among them.
    const std::int64_t low = op.n > after ? std::min(at.count, op.n - after) : 0;
    const bool take = op.kind == StreamKind::TakeLast;
    const std::int64_t next_rest = take ? std::min(op.n, after) : after - std::min(after, op.n);
    return {at.i + 1, take ? low : at.count - low, true, next_rest, next_rest};
  }

  // Walks from `level` through the steps without branching, updating `ops`; at a step
  // that guesses, takes the first guess and leaves the others in `guesses`. Ends with
  // the level past the last step, or nullopt when a guess turns out wrong.
  std::optional<Level> walk(Level level, std::vector<std::int64_t>& ops,
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

  // Feeds `count` values of the current outcome through the stream steps, from the
  // steps' states in `ops`: every path through the guesses that is not found wrong on
  // the way ends in a branch of `out`. The guesses still to try are kept on a stack of
  // their own, so a chain of thousands of steps needs no native stack; every walk is
  // charged before it is made and every branch held before it is stored.
  OddsStatus feed(std::int64_t count, bool known, std::int64_t rest, std::int64_t bound,
                  const std::vector<std::int64_t>& ops, std::size_t key_size,
                  StepScratch& scratch) {
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

  // Whether a state's result can no longer change; false with `wrong` set when a guess
  // it carries can no longer come true.
  bool finished(const std::vector<std::int64_t>& key, bool& wrong) const {
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

  OddsStatus step() {
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

  // Feeds one joint draw of a source state through the stream and files each branch.
  OddsStatus file_joint(const std::vector<std::int64_t>& source_key, const Joint& j,
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

  // One branch's shift and next state: a finished contribution, dropped when its guess
  // can no longer come true, or a move onto the state of its key (made when new).
  OddsStatus file_branch(const Joint& j, Branch& b, StepScratch& scratch) {
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

  // Adds a source state's table into the result and the next states; the last move
  // takes the table itself.
  OddsStatus settle(State& source, StepScratch& scratch) {
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
        KAVELO_ODDS_TRY(
            move_into(target, std::move(source.acc), moves[m].delta, moves[m].p, meter_));
      } else {
        KAVELO_ODDS_TRY(add_into(target, source.acc, moves[m].delta, moves[m].p, meter_));
      }
    }
    source.acc = Acc{};
    return {};
  }

  const SortedGroups& groups_;
  std::vector<StreamOp> ops_;
  bool negated_;
  std::optional<std::int64_t> tally_;
  Meter& meter_;

  std::vector<Node> nodes_;
  std::unordered_map<NodeKey, std::int32_t, NodeKeyHash> node_ids_;
  std::vector<std::pair<std::uint64_t, std::vector<Transition>>> transitions_;
  struct ShapeKey {
    std::uint32_t groups, min_len, max_len;
    friend bool operator==(const ShapeKey&, const ShapeKey&) = default;
  };
  struct ShapeHash {
    std::size_t operator()(const ShapeKey& k) const noexcept {
      return NodeKeyHash{}(NodeKey{k.groups, k.min_len, k.max_len});
    }
  };
  std::unordered_map<ShapeKey, std::vector<std::int32_t>, ShapeHash> by_shape_;
  std::uint64_t stamp_ = 0;
  std::int64_t outcome_ = 0;
  std::int64_t outcomes_after_ = 0;

  std::vector<State> states_;
  std::unordered_map<std::vector<std::int64_t>, std::size_t, KeyHash> index_;
  Acc final_;
  // Cells of the classes and moves made so far, and of the states' keys held at once.
  std::uint64_t table_cells_ = 0;
  CellHold tables_hold_;
  std::uint64_t key_cells_ = 0;
  CellHold keys_hold_;
};

}  // namespace

// Any other chain: the pool programme over the groups in sorted order.
OddsResult<Dist> programme_odds(const GroupTable& groups, std::uint64_t count, const Chain& chain,
                                double all, double truncated, Meter& meter) {
  const bool ascending = stream_ascending(groups, chain.stream);
  std::vector<StreamOp> ops = stream_ops(chain.stream, ascending);
  auto sorted = SortedGroups::build(groups, ascending, meter);
  if (!sorted) return std::unexpected(std::move(sorted.error()));
  std::optional<std::int64_t> tally;
  if (chain.target) tally = ascending ? -*chain.target : *chain.target;
  if (count > static_cast<std::uint64_t>(INT32_MAX)) {
    return std::unexpected(too_complex("a pool of more than 2147483647 dice"));
  }
  PoolProgramme programme(*sorted, std::move(ops), ascending, tally, meter);
  return finish_pool(programme.run(static_cast<std::int64_t>(count)), chain, all, truncated, meter);
}

}  // namespace kavelo::odds::pool
