// The groups of a pool as sorted multisets, with range queries over them: what the pool
// strategies walk, outcome by outcome.
#pragma once

#include "odds/pool_state.hpp"

namespace kavelo::odds::pool {

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

}  // namespace kavelo::odds::pool
