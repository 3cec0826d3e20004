// The pool passes of one dice term (keep, drop, unique, count), over plain values or,
// for a traced roll, over values paired with their trace nodes: the same values in the
// same order either way. Included by dice_roller.cpp alone, whose per-die phase and
// pool phase run them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "calculator/dice_calculator.hpp"
#include "calculator/roll_trace.hpp"

namespace kavelo {

namespace {  // NOLINT(misc-anonymous-namespace-in-header): one translation unit includes it

// A modifier's n as a count: sign-extended, then read unsigned, so that a negative n is
// larger than any pool.
constexpr std::uint64_t modifier_count(std::int32_t value) noexcept {
  return static_cast<std::uint64_t>(static_cast<std::int64_t>(value));
}

// A pool value with the node behind it, for traced rolls. The pool modifiers below run
// on plain values, or on these ordered by value, so both see the same values in the
// same order; equal values are ordered by node, so that of equal values a keep keeps,
// and a drop drops, the same dice on every run (the later dice for kh, the earlier for
// kl).
struct TracedValue {
  std::int64_t value;
  TraceNode node;
  friend bool operator<(const TracedValue& a, const TracedValue& b) noexcept {
    return a.value < b.value || (a.value == b.value && a.node < b.node);
  }
  friend bool operator>(const TracedValue& a, const TracedValue& b) noexcept { return b < a; }
  static TracedValue of(std::int64_t value, TraceNode node) noexcept { return {value, node}; }
  [[nodiscard]] TraceNode node_of() const noexcept { return node; }
};

// The same, packed into one word (value above, node below) when every value of the
// pool fits in 32 bits, as almost always: the passes then order plain words, as fast
// as the plain pool's values, in the same order as TracedValue's.
struct PackedValue {
  std::uint64_t key;
  friend bool operator<(PackedValue a, PackedValue b) noexcept { return a.key < b.key; }
  friend bool operator>(PackedValue a, PackedValue b) noexcept { return a.key > b.key; }
  static PackedValue of(std::int64_t value, TraceNode node) noexcept {
    return {(static_cast<std::uint64_t>(value) << 32) | node};
  }
  [[nodiscard]] TraceNode node_of() const noexcept { return static_cast<TraceNode>(key); }
};

constexpr std::int64_t value_of(std::int64_t value) noexcept { return value; }
constexpr std::int64_t value_of(const TracedValue& value) noexcept { return value.value; }
constexpr std::int64_t value_of(PackedValue value) noexcept {
  return static_cast<std::int64_t>(value.key >> 32);
}

// The removal hook of a plain pass: nothing to record.
struct NoRecord {
  template <class T>
  void operator()(const T&) const noexcept {}
};

template <class T>
void sort_descending(std::vector<T>& pool) {
  std::sort(pool.begin(), pool.end(), std::greater<>());
}

template <class T>
void sort_ascending(std::vector<T>& pool) {
  std::sort(pool.begin(), pool.end());
}

// The n highest values, highest first. Each pass below calls `removed` with every value
// it takes out of the pool, before it goes.
template <class T, class Removed>
void keep_highest(std::vector<T>& pool, std::uint64_t n, Removed& removed) {
  if (n < pool.size()) {
    std::partial_sort(pool.begin(), pool.begin() + static_cast<std::ptrdiff_t>(n), pool.end(),
                      std::greater<>());
    for (std::size_t i = static_cast<std::size_t>(n); i < pool.size(); ++i) removed(pool[i]);
    pool.resize(n);
  } else {
    sort_descending(pool);
  }
}

// The n lowest values, lowest first.
template <class T, class Removed>
void keep_lowest(std::vector<T>& pool, std::uint64_t n, Removed& removed) {
  if (n < pool.size()) {
    std::partial_sort(pool.begin(), pool.begin() + static_cast<std::ptrdiff_t>(n), pool.end());
    for (std::size_t i = static_cast<std::size_t>(n); i < pool.size(); ++i) removed(pool[i]);
    pool.resize(n);
  } else {
    sort_ascending(pool);
  }
}

template <class T, class Removed>
void drop_first(std::vector<T>& pool, std::uint64_t n, Removed& removed) {
  std::size_t dropped = n < pool.size() ? static_cast<std::size_t>(n) : pool.size();
  for (std::size_t i = 0; i < dropped; ++i) removed(pool[i]);
  pool.erase(pool.begin(), pool.begin() + static_cast<std::ptrdiff_t>(dropped));
}

// Keeps the first occurrence of every value, in pool order. The seen values go into an
// open-addressing table at most half full, so one pass costs two allocations in all.
template <class T, class Removed>
void keep_first_occurrences(std::vector<T>& pool, Removed& removed) {
  if (pool.size() < 2) return;
  struct Slot {
    std::uint64_t value;
    bool used;
  };
  const std::size_t capacity = std::bit_ceil(pool.size() * 2);
  const int shift = 64 - std::countr_zero(capacity);
  std::vector<Slot> table(capacity, Slot{0, false});
  std::size_t kept = 0;
  for (std::size_t i = 0; i < pool.size(); ++i) {
    const auto value = static_cast<std::uint64_t>(value_of(pool[i]));
    std::size_t slot = static_cast<std::size_t>((value * 0x9E3779B97F4A7C15ull) >> shift);
    bool seen = false;
    while (table[slot].used) {
      if (table[slot].value == value) {
        seen = true;
        break;
      }
      slot = (slot + 1) & (capacity - 1);
    }
    if (seen) {
      removed(pool[i]);
      continue;
    }
    table[slot] = Slot{value, true};
    pool[kept++] = pool[i];
  }
  pool.resize(kept);
}

// Applies one pool effect other than a count to the flattened pool.
template <class T, class Removed>
void apply_selection(std::vector<T>& pool, PoolEffect effect, const DiceModifier& modifier,
                     Removed&& removed) {
  const std::uint64_t n = modifier_count(modifier.value);
  switch (effect) {
    case PoolEffect::KeepHighest: keep_highest(pool, n, removed); break;
    case PoolEffect::KeepLowest: keep_lowest(pool, n, removed); break;
    case PoolEffect::DropHighest:
      sort_descending(pool);
      drop_first(pool, n, removed);
      break;
    case PoolEffect::DropLowest:
      sort_ascending(pool);
      drop_first(pool, n, removed);
      break;
    case PoolEffect::FirstOfEach: keep_first_occurrences(pool, removed); break;
    case PoolEffect::Ascending: sort_ascending(pool); break;
    case PoolEffect::CountOf:
    case PoolEffect::None: break;
  }
}

// Applies one pool effect to the flattened pool.
void apply_pool_effect(std::vector<std::int64_t>& pool, PoolEffect effect,
                       const DiceModifier& modifier) {
  if (effect == PoolEffect::CountOf) {
    const std::int64_t target = modifier.value;
    const auto matches = std::count(pool.begin(), pool.end(), target);
    pool.assign(1, static_cast<std::int64_t>(matches));
    return;
  }
  apply_selection(pool, effect, modifier, NoRecord{});
}

// Applies one pool modifier to the flattened pool and rebuilds one group per value.
// The per-die kinds have no pool effect and leave the groups as they are.
void apply_pool_modifier(RollGroups& groups, const DiceModifier& modifier) {
  const PoolEffect effect = modifier_spec(modifier.kind).effect;
  if (effect == PoolEffect::None) return;
  std::vector<std::int64_t> pool = groups.take_values();
  apply_pool_effect(pool, effect, modifier);
  groups.assign_singletons(std::move(pool));
}

// apply_pool_effect for a traced roll, over the values paired with their nodes: the
// same values, and every node the pass removes gets its fate. A count becomes a derived
// value of its own (one more trace node), which every value of the pool is an input of,
// counted or not. False when that node is refused.
template <class T>
bool apply_traced_pool_effect(std::vector<T>& pool, PoolEffect effect, const DiceModifier& modifier,
                              ExecutionBudget& budget, RollTrace& trace) {
  if (effect == PoolEffect::CountOf) {
    if (!budget.try_charge(Resource::TraceNodes, 1)) return false;
    const std::int64_t target = modifier.value;
    std::int64_t matches = 0;
    for (const T& v : pool) matches += value_of(v) == target ? 1 : 0;
    const TraceNode count = trace.add_derived(matches, DerivedKind::Count, modifier, kNoIndex);
    for (const T& v : pool) {
      trace.set_fate(v.node_of(), value_of(v) == target ? FaceFate::Counted : FaceFate::Uncounted,
                     modifier, count);
    }
    // A count is at most the pool's size, so it still fits a packed value.
    pool.assign(1, T::of(matches, count));
    return true;
  }
  const FaceFate fate = effect == PoolEffect::FirstOfEach ? FaceFate::Duplicate : FaceFate::Dropped;
  apply_selection(pool, effect, modifier,
                  [&](const T& v) { trace.set_fate(v.node_of(), fate, modifier); });
  return true;
}

}  // namespace

}  // namespace kavelo
