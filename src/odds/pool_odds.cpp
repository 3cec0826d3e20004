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
#include "odds/pool_odds.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <map>
#include <optional>
#include <unordered_map>

namespace kavelo::odds {

namespace {

// The value of a position past the end of a group: below every value.
constexpr std::int64_t kEnd = INT64_MIN;
constexpr std::int32_t kDone = -1;
constexpr double kMergeTolerance = 1e-13;
// Work of the bookkeeping steps, in multiply-adds: what they cost in time, measured.
constexpr std::uint64_t kJointWork = 64;
constexpr std::uint64_t kBranchWork = 400;
// One state at one outcome of the rank window: its binomial, its moves and their sort.
constexpr std::uint64_t kWindowStateWork = 64;
// A class looked up or made (a hash insertion and a range summary), one pass of a
// class's moves, and the cells a class takes in the programme's tables.
constexpr std::uint64_t kNodeWork = 64;
constexpr std::uint64_t kTransitionWork = 16;
constexpr std::uint64_t kNodeCells = 16;
// One branch of a step filed (its key built and looked up in a table of up to a million
// states, where the lookup's cache misses are most of the cost), one step of the stream
// walked, and one element of the key built, hashed and compared.
constexpr std::uint64_t kFiledBranchWork = 800;
constexpr std::uint64_t kStepWork = 4;
constexpr std::uint64_t kKeyWork = 4;
// The cells of a state besides its key: its entries in the table and the index.
constexpr std::uint64_t kStateCells = 16;
// A joint move besides its classes.
constexpr std::uint64_t kJointCells = 8;

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t out;
  return __builtin_mul_overflow(a, b, &out) ? UINT64_MAX : out;
}

// ---------------------------------------------------------------------------------
// The groups as sorted multisets, with range queries over them.

class SortedGroups {
 public:
  struct Summary {
    double mass = 0.0;
    std::uint32_t min_len = UINT32_MAX;
    std::uint32_t max_len = 0;
  };

  static OddsResult<SortedGroups> build(const GroupTable& table, bool negate, Meter& meter) {
    SortedGroups out;
    const std::size_t n = table.size();
    KAVELO_ODDS_TRY(meter.work(table.values.size() * 4 + n * (std::bit_width(n) + 1)));
    std::vector<std::int64_t> values(table.values.begin(), table.values.end());
    std::vector<std::uint32_t> order;
    order.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t begin = i == 0 ? 0 : table.ends[i - 1];
      auto first = values.begin() + static_cast<std::ptrdiff_t>(begin);
      auto last = values.begin() + static_cast<std::ptrdiff_t>(table.ends[i]);
      if (negate) std::for_each(first, last, [](std::int64_t& v) { v = -v; });
      std::sort(first, last, std::greater<>());
      if (table.probs[i] > 0.0) order.push_back(static_cast<std::uint32_t>(i));
    }
    auto span_of = [&](std::uint32_t i) {
      const std::size_t begin = i == 0 ? 0 : table.ends[i - 1];
      return std::span<const std::int64_t>(values).subspan(begin, table.ends[i] - begin);
    };
    // Descending lexicographic order; a group that ends sorts below any that goes on.
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
      const auto x = span_of(a);
      const auto y = span_of(b);
      return std::lexicographical_compare(y.begin(), y.end(), x.begin(), x.end());
    });
    out.begin_.push_back(0);
    for (std::uint32_t i : order) {
      const auto group = span_of(i);
      if (!out.prob_.empty() && std::ranges::equal(out.group(out.size() - 1), group)) {
        out.prob_.back() += table.probs[i];
        continue;
      }
      out.values_.insert(out.values_.end(), group.begin(), group.end());
      out.begin_.push_back(static_cast<std::uint32_t>(out.values_.size()));
      out.prob_.push_back(table.probs[i]);
    }
    out.build_tree();
    KAVELO_ODDS_TRY(
        out.hold_.set(meter, out.values_.size() + 8 * static_cast<std::size_t>(out.size()) + 8));
    return out;
  }

  [[nodiscard]] std::uint32_t size() const noexcept {
    return static_cast<std::uint32_t>(prob_.size());
  }
  [[nodiscard]] std::uint32_t len(std::uint32_t g) const noexcept {
    return begin_[g + 1] - begin_[g];
  }
  [[nodiscard]] std::int64_t at(std::uint32_t g, std::uint32_t d) const noexcept {
    return d < len(g) ? values_[begin_[g] + d] : kEnd;
  }
  [[nodiscard]] std::span<const std::int64_t> group(std::uint32_t g) const noexcept {
    return std::span<const std::int64_t>(values_).subspan(begin_[g], len(g));
  }
  [[nodiscard]] double prob(std::uint32_t g) const noexcept { return prob_[g]; }
  [[nodiscard]] std::span<const std::int64_t> all_values() const noexcept { return values_; }

  // Mass and group lengths over groups [b, e), summed without subtraction.
  [[nodiscard]] Summary summary(std::uint32_t b, std::uint32_t e) const noexcept {
    Summary s;
    std::size_t lo = b + leaves_;
    std::size_t hi = e + leaves_;
    while (lo < hi) {
      if (lo & 1) take(s, lo++);
      if (hi & 1) take(s, --hi);
      lo >>= 1;
      hi >>= 1;
    }
    return s;
  }

  // The first group in [b, e) whose value at depth d is not v; the groups with v there
  // come first in any range of groups that share their first d values.
  [[nodiscard]] std::uint32_t end_of_value(std::uint32_t b, std::uint32_t e, std::uint32_t d,
                                           std::int64_t v) const noexcept {
    while (b < e) {
      const std::uint32_t mid = b + (e - b) / 2;
      if (at(mid, d) == v) {
        b = mid + 1;
      } else {
        e = mid;
      }
    }
    return b;
  }

 private:
  void build_tree() {
    leaves_ = std::bit_ceil(std::max<std::size_t>(prob_.size(), 1));
    mass_.assign(2 * leaves_, 0.0);
    min_len_.assign(2 * leaves_, UINT32_MAX);
    max_len_.assign(2 * leaves_, 0);
    for (std::uint32_t g = 0; g < size(); ++g) {
      mass_[leaves_ + g] = prob_[g];
      min_len_[leaves_ + g] = len(g);
      max_len_[leaves_ + g] = len(g);
    }
    for (std::size_t i = leaves_ - 1; i >= 1; --i) {
      mass_[i] = mass_[2 * i] + mass_[2 * i + 1];
      min_len_[i] = std::min(min_len_[2 * i], min_len_[2 * i + 1]);
      max_len_[i] = std::max(max_len_[2 * i], max_len_[2 * i + 1]);
    }
  }
  void take(Summary& s, std::size_t node) const noexcept {
    s.mass += mass_[node];
    s.min_len = std::min(s.min_len, min_len_[node]);
    s.max_len = std::max(s.max_len, max_len_[node]);
  }

  std::vector<std::int64_t> values_;
  std::vector<std::uint32_t> begin_;
  std::vector<double> prob_;
  std::size_t leaves_ = 1;
  std::vector<double> mass_;
  std::vector<std::uint32_t> min_len_;
  std::vector<std::uint32_t> max_len_;
  CellHold hold_;
};

// ---------------------------------------------------------------------------------
// The chain as the programme runs it, in the order values arrive (highest first).

enum class StreamKind : std::uint8_t { TakeFirst, DropFirst, TakeLast, DropLast, Distinct };

struct StreamOp {
  StreamKind kind;
  std::int64_t n;  // capped at the largest pool
};

// A distribution of the total so far, with a lazy factor on all its probabilities.
struct Acc {
  std::int64_t lo = 0;
  std::vector<double> p;
  double scale = 1.0;
  CellHold hold;
};

OddsStatus materialise(Acc& acc, Meter& meter) {
  if (acc.scale == 1.0) return {};
  KAVELO_ODDS_TRY(meter.work(acc.p.size()));
  for (double& x : acc.p) x *= acc.scale;
  acc.scale = 1.0;
  return {};
}

// dst += src shifted by `delta`, times `weight`.
OddsStatus add_into(Acc& dst, const Acc& src, std::int64_t delta, double weight, Meter& meter) {
  std::int64_t lo = 0;
  if (__builtin_add_overflow(src.lo, delta, &lo)) {
    return std::unexpected(too_complex("a pool total leaves the 64-bit range"));
  }
  const double factor = src.scale * weight;
  KAVELO_ODDS_TRY(meter.work(src.p.size()));
  if (dst.p.empty()) {
    dst.lo = lo;
    dst.p = src.p;
    dst.scale = factor;
    return dst.hold.set(meter, dst.p.size());
  }
  KAVELO_ODDS_TRY(materialise(dst, meter));
  const std::int64_t hi = lo + static_cast<std::int64_t>(src.p.size());
  const std::int64_t dst_hi = dst.lo + static_cast<std::int64_t>(dst.p.size());
  if (lo < dst.lo || hi > dst_hi) {
    // Grown by at least its occupied width at the end that needs room, so that totals
    // arriving one below another (outcomes come highest first) cost amortised O(1).
    std::size_t first = 0;
    std::size_t last = dst.p.size();
    while (first < last && dst.p[first] == 0.0) ++first;
    while (last > first && dst.p[last - 1] == 0.0) --last;
    const std::int64_t used_lo = first < last ? dst.lo + static_cast<std::int64_t>(first) : lo;
    const std::int64_t used_hi = first < last ? dst.lo + static_cast<std::int64_t>(last) : hi;
    const std::int64_t width = used_hi - used_lo;
    const std::int64_t need_lo = std::min(lo, used_lo);
    const std::int64_t need_hi = std::max(hi, used_hi);
    KAVELO_ODDS_TRY(meter.outcomes(static_cast<std::uint64_t>(need_hi - need_lo), "a pool total"));
    const std::int64_t new_lo = lo < used_lo ? std::min(lo, used_lo - width) : need_lo;
    const std::int64_t new_hi = hi > used_hi ? std::max(hi, used_hi + width) : need_hi;
    const auto new_width = static_cast<std::uint64_t>(new_hi - new_lo);
    KAVELO_ODDS_TRY(meter.work(new_width + dst.p.size()));
    KAVELO_ODDS_TRY(dst.hold.set(meter, new_width));
    std::vector<double> grown(static_cast<std::size_t>(new_width), 0.0);
    if (first < last) {
      std::copy(dst.p.begin() + static_cast<std::ptrdiff_t>(first),
                dst.p.begin() + static_cast<std::ptrdiff_t>(last),
                grown.begin() + (used_lo - new_lo));
    }
    dst.p = std::move(grown);
    dst.lo = new_lo;
  }
  double* out = dst.p.data() + (lo - dst.lo);
  for (std::size_t i = 0; i < src.p.size(); ++i) out[i] += factor * src.p[i];
  return {};
}

OddsStatus move_into(Acc& dst, Acc&& src, std::int64_t delta, double weight, Meter& meter) {
  if (!dst.p.empty()) return add_into(dst, src, delta, weight, meter);
  std::int64_t lo = 0;
  if (__builtin_add_overflow(src.lo, delta, &lo)) {
    return std::unexpected(too_complex("a pool total leaves the 64-bit range"));
  }
  const double scale = src.scale * weight;
  dst = std::move(src);
  dst.lo = lo;
  dst.scale = scale;
  return {};
}

// The hash of a state's key. Deliberately not noexcept: libstdc++ then keeps each
// entry's hash beside it, instead of hashing the whole key of every entry it passes
// in a bucket again (keys run to thousands of values, and that was most of the time).
struct KeyHash {
  std::size_t operator()(const std::vector<std::int64_t>& key) const {
    std::uint64_t h = 0x9E3779B97F4A7C15ull ^ key.size();
    for (std::int64_t x : key) {
      // Each value mixed in fully (a multiply and a shift), so that keys differing in
      // one small number land far apart.
      h = (h ^ static_cast<std::uint64_t>(x)) * 0xBF58476D1CE4E5B9ull;
      h ^= h >> 31;
    }
    return static_cast<std::size_t>(h);
  }
};

struct NodeKey {
  std::uint32_t b, e, d;
  friend bool operator==(const NodeKey&, const NodeKey&) = default;
};
struct NodeKeyHash {
  std::size_t operator()(const NodeKey& k) const noexcept {
    return static_cast<std::size_t>((static_cast<std::uint64_t>(k.b) * 0x9E3779B97F4A7C15ull) ^
                                    (static_cast<std::uint64_t>(k.e) * 0xC2B2AE3D27D4EB4Full) ^
                                    (static_cast<std::uint64_t>(k.d) * 0x165667B19E3779F9ull));
  }
};

struct Node {
  std::uint32_t b, e, d;
  double mass;
  std::uint32_t min_len, max_len;  // of the values still to come
};

struct Transition {
  std::int64_t shown;  // values equal to the current outcome this die adds
  std::int32_t child;
  double p;
};

// The dice of the classes of one state after one outcome: how many values they showed
// in all, and how many went to each class.
struct Joint {
  std::int64_t shown;
  std::vector<std::pair<std::int32_t, std::int64_t>> classes;  // by class id, no kDone
  double p;
};

void add_class(std::vector<std::pair<std::int32_t, std::int64_t>>& classes, std::int32_t id,
               std::int64_t count) {
  if (id == kDone || count == 0) return;
  auto at =
      std::ranges::lower_bound(classes, id, {}, &std::pair<std::int32_t, std::int64_t>::first);
  if (at != classes.end() && at->first == id) {
    at->second += count;
  } else {
    classes.insert(at, {id, count});
  }
}

// The probabilities of 0..n successes in n trials, each succeeding with probability
// `yes` (and failing with `no`; both given, so that neither comes from a subtraction).
std::vector<double> binomial(std::int64_t n, double yes, double no) {
  std::vector<double> w(static_cast<std::size_t>(n + 1), 0.0);
  const double total = yes + no;
  yes /= total;
  no /= total;
  auto mode = static_cast<std::int64_t>(std::floor(static_cast<double>(n + 1) * yes));
  mode = std::clamp<std::int64_t>(mode, 0, n);
  w[static_cast<std::size_t>(mode)] = 1.0;
  const double up = yes / no;
  const double down = no / yes;
  for (std::int64_t k = mode; k < n; ++k) {
    w[static_cast<std::size_t>(k + 1)] = w[static_cast<std::size_t>(k)] *
                                         (static_cast<double>(n - k) / static_cast<double>(k + 1)) *
                                         up;
  }
  for (std::int64_t k = mode; k > 0; --k) {
    w[static_cast<std::size_t>(k - 1)] = w[static_cast<std::size_t>(k)] *
                                         (static_cast<double>(k) / static_cast<double>(n - k + 1)) *
                                         down;
  }
  CompensatedSum sum;
  for (double x : w) sum.add(x);
  const double norm = sum.value();
  for (double& x : w) x /= norm;
  return w;
}

// The sum of `n` independent copies of a distribution over 0..w.size()-1.
OddsResult<std::vector<double>> power_of(const std::vector<double>& one, std::int64_t n,
                                         Meter& meter) {
  std::vector<double> result{1.0};
  std::vector<double> base = one;
  auto convolve = [&](const std::vector<double>& a,
                      const std::vector<double>& b) -> OddsResult<std::vector<double>> {
    KAVELO_ODDS_TRY(meter.work(static_cast<std::uint64_t>(a.size()) * b.size()));
    KAVELO_ODDS_TRY(meter.outcomes(a.size() + b.size() - 1, "a run of equal values"));
    std::vector<double> out(a.size() + b.size() - 1, 0.0);
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (a[i] == 0.0) continue;
      for (std::size_t j = 0; j < b.size(); ++j) out[i + j] += a[i] * b[j];
    }
    while (out.size() > 1 && out.back() == 0.0) out.pop_back();
    return out;
  };
  auto m = static_cast<std::uint64_t>(n);
  while (m > 0) {
    if (m & 1) {
      auto next = convolve(result, base);
      if (!next) return next;
      result = std::move(*next);
    }
    m >>= 1;
    if (m == 0) break;
    auto square = convolve(base, base);
    if (!square) return square;
    base = std::move(*square);
  }
  return result;
}

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

// Keep and drop of n read as counts: a negative n is more than any pool.
std::uint64_t count_of(std::int32_t value) {
  return static_cast<std::uint64_t>(static_cast<std::int64_t>(value));
}

}  // namespace

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

// The distribution of a result map over the tallies of `tally`: each count c becomes
// the total of the steps after the count applied to the pool [c].
OddsResult<Dist> after_count(const Dist& tally, std::span<const PoolStep> post, Meter& meter) {
  std::vector<std::pair<std::int64_t, double>> pairs;
  KAVELO_ODDS_TRY(meter.work(tally.size() * (post.size() + 1)));
  pairs.reserve(tally.size());
  for (std::size_t i = 0; i < tally.size(); ++i) {
    pairs.emplace_back(apply_steps({tally.values()[i]}, post), tally.probs()[i]);
  }
  auto d = Dist::from_pairs(pairs, meter, "a count's result");
  if (d) {
    d->failures = tally.failures;
    d->truncated = tally.truncated;
  }
  return d;
}

Dist from_acc(Acc&& acc, double factor, double truncated, Meter& meter, OddsStatus& status) {
  std::vector<std::int64_t> values;
  std::vector<double> probs;
  for (std::size_t i = 0; i < acc.p.size(); ++i) {
    const double p = acc.p[i] * acc.scale * factor;
    if (p == 0.0) continue;
    values.push_back(acc.lo + static_cast<std::int64_t>(i));
    probs.push_back(p);
  }
  auto d = Dist::from_sorted(std::move(values), std::move(probs), meter, "a pool total");
  if (!d) {
    status = std::unexpected(std::move(d.error()));
    return Dist{};
  }
  d->truncated = truncated;
  return std::move(*d);
}

// The chain simplified against the largest pool it can meet: a keep of at least the
// pool keeps it all, a drop of at least the pool empties it. `stream` holds the keeps,
// drops and uniques left before a count, `target` the count's value and `post` the
// steps after it.
struct Chain {
  std::vector<PoolStep> stream;
  std::optional<std::int64_t> target;
  std::vector<PoolStep> post;
  bool empty = false;
};

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

// The pool's table turned into the result: scaled by the mass `all` of pools that
// finish, with the mass `truncated` of those that do not, then through the steps after
// a count.
OddsResult<Dist> finish_pool(OddsResult<Acc>&& acc, const Chain& chain, double all,
                             double truncated, Meter& meter) {
  if (!acc) return std::unexpected(std::move(acc.error()));
  OddsStatus status;
  Dist result = from_acc(std::move(*acc), all, truncated, meter, status);
  if (!status) return std::unexpected(std::move(status.error()));
  if (!chain.target) return result;
  return after_count(result, chain.post, meter);
}

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

// Whether to stream the outcomes from the lowest: the direction with fewer guesses.
// Keep and drop of the far end need the number of values still to come, which is known
// only for groups of one length and before any unique.
bool stream_ascending(const GroupTable& groups, std::span<const PoolStep> stream) {
  bool one_length = true;
  for (std::size_t g = 0; g < groups.size(); ++g) {
    if (groups.group(g).size() != groups.group(0).size()) one_length = false;
  }
  auto guesses = [&](bool ascending) {
    int n = 0;
    bool known = one_length;
    for (const PoolStep& step : stream) {
      const bool far = ascending
                           ? (step.kind == PoolKind::KeepHigh || step.kind == PoolKind::DropHigh)
                           : (step.kind == PoolKind::KeepLow || step.kind == PoolKind::DropLow);
      if (step.kind == PoolKind::Unique) known = false;
      if (far && !known) ++n;
      if (far) known = true;
    }
    return n;
  };
  return guesses(true) < guesses(false);
}

// The stream's steps read in the order the outcomes come.
std::vector<StreamOp> stream_ops(std::span<const PoolStep> stream, bool ascending) {
  std::vector<StreamOp> ops;
  for (const PoolStep& step : stream) {
    // Every step kept is below the bound of the pool it meets, so n fits.
    const auto n = static_cast<std::int64_t>(step.n);
    switch (step.kind) {
      case PoolKind::KeepHigh:
        ops.push_back({ascending ? StreamKind::TakeLast : StreamKind::TakeFirst, n});
        break;
      case PoolKind::KeepLow:
        ops.push_back({ascending ? StreamKind::TakeFirst : StreamKind::TakeLast, n});
        break;
      case PoolKind::DropHigh:
        ops.push_back({ascending ? StreamKind::DropLast : StreamKind::DropFirst, n});
        break;
      case PoolKind::DropLow:
        ops.push_back({ascending ? StreamKind::DropFirst : StreamKind::DropLast, n});
        break;
      default: ops.push_back({StreamKind::Distinct, 0}); break;
    }
  }
  return ops;
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

}  // namespace

OddsResult<Dist> pool_odds(const GroupTable& groups, std::uint64_t count,
                           std::span<const PoolStep> steps, double trim_budget, Meter& meter) {
  const double all = groups.truncated > 0.0 ? power(die_mass(groups), count) : 1.0;
  // 1 - one^count without cancellation: -expm1(count * log1p(-truncated)).
  const double truncated =
      groups.truncated > 0.0
          ? -std::expm1(static_cast<double>(count) * std::log1p(-groups.truncated))
          : 0.0;
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
