// The state the pool strategies share: the bookkeeping constants, the stream of steps
// as a strategy reads it, the lazily scaled table of totals (Acc) and its moves, the
// classes and joint moves of dice, the binomial and power laws, and the chain as
// simplified against the largest pool.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "odds/pool_odds.hpp"

namespace kavelo::odds::pool {

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

inline std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t out;
  return __builtin_mul_overflow(a, b, &out) ? UINT64_MAX : out;
}

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

inline OddsStatus materialise(Acc& acc, Meter& meter) {
  if (acc.scale == 1.0) return {};
  KAVELO_ODDS_TRY(meter.work(acc.p.size()));
  for (double& x : acc.p) x *= acc.scale;
  acc.scale = 1.0;
  return {};
}

// dst += src shifted by `delta`, times `weight`.
inline OddsStatus add_into(Acc& dst, const Acc& src, std::int64_t delta, double weight,
                           Meter& meter) {
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

inline OddsStatus move_into(Acc& dst, Acc&& src, std::int64_t delta, double weight, Meter& meter) {
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

inline void add_class(std::vector<std::pair<std::int32_t, std::int64_t>>& classes, std::int32_t id,
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
inline std::vector<double> binomial(std::int64_t n, double yes, double no) {
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
inline OddsResult<std::vector<double>> power_of(const std::vector<double>& one, std::int64_t n,
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

// Keep and drop of n read as counts: a negative n is more than any pool.
inline std::uint64_t count_of(std::int32_t value) {
  return static_cast<std::uint64_t>(static_cast<std::int64_t>(value));
}

// The distribution of a result map over the tallies of `tally`: each count c becomes
// the total of the steps after the count applied to the pool [c].
inline OddsResult<Dist> after_count(const Dist& tally, std::span<const PoolStep> post,
                                    Meter& meter) {
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

inline Dist from_acc(Acc&& acc, double factor, double truncated, Meter& meter, OddsStatus& status) {
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

// The pool's table turned into the result: scaled by the mass `all` of pools that
// finish, with the mass `truncated` of those that do not, then through the steps after
// a count.
inline OddsResult<Dist> finish_pool(OddsResult<Acc>&& acc, const Chain& chain, double all,
                                    double truncated, Meter& meter) {
  if (!acc) return std::unexpected(std::move(acc.error()));
  OddsStatus status;
  Dist result = from_acc(std::move(*acc), all, truncated, meter, status);
  if (!status) return std::unexpected(std::move(status.error()));
  if (!chain.target) return result;
  return after_count(result, chain.post, meter);
}

// Whether to stream the outcomes from the lowest: the direction with fewer guesses.
// Keep and drop of the far end need the number of values still to come, which is known
// only for groups of one length and before any unique.
inline bool stream_ascending(const GroupTable& groups, std::span<const PoolStep> stream) {
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
inline std::vector<StreamOp> stream_ops(std::span<const PoolStep> stream, bool ascending) {
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

// The strategies, each in its own file: the rank window (rank_window.cpp) for one value
// per die with keeps and drops or unique alone, the pool programme (pool_programme.cpp)
// for any other chain.
[[nodiscard]] OddsResult<Dist> window_odds(const GroupTable& groups, std::uint64_t count,
                                           const Chain& chain, bool unique_only, double all,
                                           double truncated, Meter& meter);
[[nodiscard]] OddsResult<Dist> programme_odds(const GroupTable& groups, std::uint64_t count,
                                              const Chain& chain, double all, double truncated,
                                              Meter& meter);

}  // namespace kavelo::odds::pool
