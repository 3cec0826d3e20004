// The pool programme's classes of dice: the classes a range of groups makes, their
// moves at each outcome and the joint moves of many dice, and the run over the outcomes
// (see pool_odds.cpp for the method).

#include "odds/pool_programme.hpp"

namespace kavelo::odds::pool {

OddsResult<Acc> PoolProgramme::run(std::int64_t count) {
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

OddsResult<std::int32_t> PoolProgramme::node_of(std::uint32_t b, std::uint32_t e, std::uint32_t d) {
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

OddsResult<std::int32_t> PoolProgramme::equal_node(const Node& node) {
  const ShapeKey shape{node.e - node.b, node.min_len, node.max_len};
  std::vector<std::int32_t>& same_shape = by_shape_[shape];
  for (std::int32_t other_id : same_shape) {
    KAVELO_ODDS_TRY(meter_.work(static_cast<std::uint64_t>(node.e - node.b) * (node.max_len + 1)));
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

OddsResult<const std::vector<Transition>*> PoolProgramme::transitions(std::int32_t id) {
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

OddsStatus PoolProgramme::hold_tables(std::uint64_t cells) {
  table_cells_ += cells;
  return tables_hold_.set(meter_, table_cells_);
}

OddsResult<std::vector<Joint>> PoolProgramme::joint(std::int32_t id, std::int64_t n) {
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
        k[1 + static_cast<std::size_t>(std::ranges::find(children, t.child) - children.begin())] +=
            1;
        next[std::move(k)] += p * t.p;
      }
    }
    current = std::move(next);
  }
  for (const auto& [key, p] : current) {
    Joint j{key[0], {}, p};
    for (std::size_t c = 0; c < children.size(); ++c) add_class(j.classes, children[c], key[1 + c]);
    out.push_back(std::move(j));
  }
  return out;
}

OddsResult<std::vector<Joint>> PoolProgramme::joint_of(const std::vector<std::int64_t>& key,
                                                       CellHold& held) {
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
