// Rolling one dice term: the per-die phase (first faces, explosions, rerolls) and the
// pool phase (keep, drop, unique, sort, count), with every face and pass charged.
//
// The groups are built in place at the back of one flat value vector, so the per-die
// phase allocates nothing per die; each pool modifier flattens, reorders and rebuilds
// the pool once.
#include <algorithm>
#include <bit>
#include <functional>
#include <type_traits>

#include "calculator/checked_sum.hpp"
#include "calculator/dice_calculator.hpp"
#include "calculator/roll_trace.hpp"

namespace kavelo {

namespace {

constexpr const char* kInvalidDiceMessage = "骰子数量和面数必须大于0";

constexpr bool is_explode(ModifierKind kind) noexcept {
  return kind == ModifierKind::Explode || kind == ModifierKind::ExplodeAlias;
}

constexpr bool is_reroll(ModifierKind kind) noexcept {
  return kind == ModifierKind::Reroll || kind == ModifierKind::RerollOnce ||
         kind == ModifierKind::RerollUntil || kind == ModifierKind::RerollAdd;
}

// One face from 1 to `sides`: rng_words for every 64-bit draw, then one generated value
// and one work unit. Returns 0 when a charge is refused and names the resource in
// `refused`; a refused charge changes nothing, so budget.exceeded(refused, 1) rebuilds
// its error afterwards. Keeping the error out of the return value keeps this small
// enough to inline into the per-die loop.
inline std::uint32_t draw_face(RequestRandom& generator, ExecutionBudget& budget,
                               std::uint32_t sides, Resource& refused) noexcept {
  std::uint64_t value = 0;
  if (!generator.try_uniform_below(sides, budget, value)) {
    refused = Resource::rng_words;
    return 0;
  }
  if (!budget.try_charge(Resource::generated_values, 1)) {
    refused = Resource::generated_values;
    return 0;
  }
  if (!budget.try_charge(Resource::work_units, 1)) {
    refused = Resource::work_units;
    return 0;
  }
  return static_cast<std::uint32_t>(value) + 1;
}

// A modifier's n as a count: sign-extended, then read unsigned, so that a negative n is
// larger than any pool.
constexpr std::uint64_t modifier_count(std::int32_t value) noexcept {
  return static_cast<std::uint64_t>(static_cast<std::int64_t>(value));
}

// A pool value with the face behind it, for traced rolls: the pool modifiers below run
// on plain values, or on these ordered by value (ties by face), so both see the same
// values in the same order.
struct TaggedValue {
  std::int64_t value;
  std::size_t face;
  friend auto operator<=>(const TaggedValue&, const TaggedValue&) = default;
};

constexpr std::int64_t value_of(std::int64_t value) noexcept { return value; }
constexpr std::int64_t value_of(const TaggedValue& value) noexcept { return value.value; }

template <class T>
void sort_descending(std::vector<T>& pool) {
  std::sort(pool.begin(), pool.end(), std::greater<>());
}

template <class T>
void sort_ascending(std::vector<T>& pool) {
  std::sort(pool.begin(), pool.end());
}

// The n highest values, highest first.
template <class T>
void keep_highest(std::vector<T>& pool, std::uint64_t n) {
  if (n < pool.size()) {
    std::partial_sort(pool.begin(), pool.begin() + static_cast<std::ptrdiff_t>(n), pool.end(),
                      std::greater<>());
    pool.resize(n);
  } else {
    sort_descending(pool);
  }
}

// The n lowest values, lowest first.
template <class T>
void keep_lowest(std::vector<T>& pool, std::uint64_t n) {
  if (n < pool.size()) {
    std::partial_sort(pool.begin(), pool.begin() + static_cast<std::ptrdiff_t>(n), pool.end());
    pool.resize(n);
  } else {
    sort_ascending(pool);
  }
}

template <class T>
void drop_first(std::vector<T>& pool, std::uint64_t n) {
  std::size_t dropped = n < pool.size() ? static_cast<std::size_t>(n) : pool.size();
  pool.erase(pool.begin(), pool.begin() + static_cast<std::ptrdiff_t>(dropped));
}

// Keeps the first occurrence of every value, in pool order. The seen values go into an
// open-addressing table at most half full, so one pass costs two allocations in all.
template <class T>
void keep_first_occurrences(std::vector<T>& pool) {
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
    if (seen) continue;
    table[slot] = Slot{value, true};
    pool[kept++] = pool[i];
  }
  pool.resize(kept);
}

// Applies one pool modifier to the flattened pool.
template <class T>
void apply_pool_op(std::vector<T>& pool, const DiceModifier& modifier) {
  const std::uint64_t n = modifier_count(modifier.value);
  switch (modifier.kind) {
    case ModifierKind::ExplodeKeepHigh:
    case ModifierKind::KeepAlias:
    case ModifierKind::KeepHigh:
      keep_highest(pool, n);
      break;
    case ModifierKind::KeepLow:
      keep_lowest(pool, n);
      break;
    case ModifierKind::DropHigh:
      sort_descending(pool);
      drop_first(pool, n);
      break;
    case ModifierKind::DropLow:
      sort_ascending(pool);
      drop_first(pool, n);
      break;
    case ModifierKind::Unique:
      keep_first_occurrences(pool);
      break;
    case ModifierKind::Sort:
      sort_ascending(pool);
      break;
    case ModifierKind::Count: {
      const std::int64_t target = modifier.value;
      const auto matches = std::count_if(pool.begin(), pool.end(),
                                         [&](const T& v) { return value_of(v) == target; });
      if constexpr (std::is_same_v<T, TaggedValue>) {
        pool.assign(1, TaggedValue{static_cast<std::int64_t>(matches), RollTrace::kNotAFace});
      } else {
        pool.assign(1, static_cast<std::int64_t>(matches));
      }
      break;
    }
    default:
      break;
  }
}

constexpr bool is_per_die(ModifierKind kind) noexcept {
  return is_explode(kind) || is_reroll(kind);
}

// Applies one pool modifier to the flattened pool and rebuilds one group per value.
// The per-die kinds have no pool effect and leave the groups as they are.
void apply_pool_modifier(RollGroups& groups, const DiceModifier& modifier) {
  if (is_per_die(modifier.kind)) return;
  std::vector<std::int64_t> pool = groups.take_values();
  apply_pool_op(pool, modifier);
  groups.assign_singletons(std::move(pool));
}

// The work of one modifier pass: the values it works on, and at least one, so that a
// long modifier list after "kh0" does not run for nothing.
std::uint64_t pass_cost(const RollGroups& groups) noexcept {
  return std::max<std::uint64_t>(groups.value_count(), 1);
}

inline bool try_charge_pass(ExecutionBudget& budget, const RollGroups& groups) noexcept {
  return budget.try_charge(Resource::work_units, pass_cost(groups));
}

bool any_at_most(const std::vector<std::int64_t>& values, std::size_t begin,
                 std::int64_t threshold) noexcept {
  for (std::size_t i = begin; i < values.size(); ++i) {
    if (values[i] <= threshold) return true;
  }
  return false;
}

// apply_pool_modifier for a traced roll: the same pass over the values paired with the
// faces behind them (trace.live_), and every face the pass removes gets its fate.
void apply_traced_pool_modifier(RollGroups& groups, const DiceModifier& modifier,
                                RollTrace& trace) {
  if (is_per_die(modifier.kind)) return;
  std::vector<std::size_t>& live = trace.live_;
  const std::span<const std::int64_t> values = groups.values();
  std::vector<TaggedValue> pool;
  pool.reserve(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) pool.push_back({values[i], live[i]});
  apply_pool_op(pool, modifier);

  // The faces still there after the pass; every other face of the pool leaves it.
  std::vector<std::size_t> remaining;
  remaining.reserve(pool.size());
  for (const TaggedValue& v : pool) remaining.push_back(v.face);
  std::sort(remaining.begin(), remaining.end());
  for (std::size_t face : live) {
    if (face == RollTrace::kNotAFace ||
        std::binary_search(remaining.begin(), remaining.end(), face)) {
      continue;
    }
    FaceFate fate = FaceFate::Dropped;
    if (modifier.kind == ModifierKind::Unique) {
      fate = FaceFate::Duplicate;
    } else if (modifier.kind == ModifierKind::Count) {
      fate = trace.faces()[face].value == static_cast<std::uint32_t>(modifier.value) &&
                     modifier.value >= 1
                 ? FaceFate::Counted
                 : FaceFate::Uncounted;
    }
    trace.set_fate(face, fate, modifier);
  }

  std::vector<std::int64_t> kept;
  kept.reserve(pool.size());
  live.clear();
  for (const TaggedValue& v : pool) {
    kept.push_back(v.value);
    live.push_back(v.face);
  }
  groups.assign_singletons(std::move(kept));
}

}  // namespace

Result<std::uint32_t> DiceCalculator::roll_face(std::uint32_t sides) {
  // Callers check sides first; a zero here would have no face to return.
  if (sides == 0) {
    return std::unexpected(DiceError::invalid_dice_expression(kInvalidDiceMessage));
  }
  KAVELO_TRY(ensure_generator());
  Resource refused = Resource::rng_words;
  std::uint32_t face = draw_face(*generator_, budget_, sides, refused);
  if (face == 0) return std::unexpected(budget_.exceeded(refused, 1));
  return face;
}

Status DiceCalculator::charge_modifier_work(const RollGroups& groups) {
  if (try_charge_pass(budget_, groups)) return {};
  return std::unexpected(budget_.exceeded(Resource::work_units, pass_cost(groups)));
}

std::unexpected<DiceError> DiceCalculator::pass_refused(const RollGroups& groups) const {
  return std::unexpected(budget_.exceeded(Resource::work_units, pass_cost(groups)));
}

Status DiceCalculator::count_reroll_scans(std::uint64_t scans) {
  const std::uint64_t limit = budget_.limit(Resource::work_units);
  if (scans > limit - reroll_scans_) {
    return std::unexpected(
        DiceError::budget_exceeded(name_of(Resource::work_units), reroll_scans_, scans, limit));
  }
  reroll_scans_ += scans;
  return {};
}

Result<RollGroups> DiceCalculator::roll_dice_with_budget(const DiceTerm& dice) {
  if (trace_ != nullptr) [[unlikely]] return roll_term<true>(dice);
  return roll_term<false>(dice);
}

// Traced (kTraced), the roll draws its faces through the trace (which records each, and
// takes it from the replayed faces when it replays), keeps trace_->live_ parallel to
// `values` naming the face behind each value, and gives every face that leaves the
// roll its fate. Every value, charge and error is the plain roll's.
template <bool kTraced>
Result<RollGroups> DiceCalculator::roll_term(const DiceTerm& dice) {
  if (dice.count < 1 || dice.sides < 1) {
    return std::unexpected(DiceError::invalid_dice_expression(kInvalidDiceMessage));
  }
  const auto count = static_cast<std::uint64_t>(dice.count);
  KAVELO_TRY(budget_.ensure(Resource::source_items, count));
  KAVELO_TRY(budget_.ensure(Resource::collection_items, count));
  const auto sides = static_cast<std::uint32_t>(dice.sides);

  // Every explode modifier after the first finds the last face below `sides` and adds
  // nothing, so one flag stands for all of them. The rerolls keep their list order.
  // Every value of a group is at least 1 (faces, and sums of faces), so a reroll whose
  // threshold is below 1 never matches: it has no effect and is left out of the scans.
  bool explode = false;
  std::vector<DiceModifier> rerolls;
  for (const DiceModifier& modifier : dice.modifiers) {
    if (is_explode(modifier.kind)) explode = true;
    if (is_reroll(modifier.kind) && modifier.value >= 1) rerolls.push_back(modifier);
  }

  RollGroups groups;
  groups.reserve_values(static_cast<std::size_t>(count));
  std::vector<std::int64_t>& values = groups.mutable_values();
  const std::uint64_t collection_limit = budget_.limit(Resource::collection_items);
  // Faces made by first rolls and explosions; reroll faces do not count.
  std::uint64_t faces = 0;
  Resource refused = Resource::rng_words;

  // count >= 1, so the first face of the term follows at once: create the generator
  // here if this is the request's first face.
  KAVELO_TRY(ensure_generator());
  RequestRandom& generator = *generator_;

  std::uint64_t die = 0;
  [[maybe_unused]] RollTrace* const trace = trace_;
  [[maybe_unused]] std::vector<std::size_t>* live = nullptr;
  if constexpr (kTraced) {
    trace->terms_.push_back(TracedTerm{dice.count, dice.sides,
                                       {dice.modifiers.begin(), dice.modifiers.end()},
                                       trace->faces().size(), 0, {}});
    live = &trace->live_;
    live->clear();
  }
  // One face of the current die: from the generator, or traced through the trace.
  auto draw = [&]([[maybe_unused]] FaceOrigin origin) -> std::uint32_t {
    if constexpr (kTraced) {
      std::uint32_t face = 0;
      if (!trace->replaying()) {
        face = draw_face(generator, budget_, sides, refused);
      } else if (!budget_.try_charge(Resource::rng_words, 1)) {
        refused = Resource::rng_words;
      } else if (!budget_.try_charge(Resource::generated_values, 1)) {
        refused = Resource::generated_values;
      } else if (!budget_.try_charge(Resource::work_units, 1)) {
        refused = Resource::work_units;
      } else {
        face = trace->next_replayed(sides);
      }
      if (face != 0) trace->add_face(face, origin, die);
      return face;
    } else {
      return draw_face(generator, budget_, sides, refused);
    }
  };
  auto refused_error = [&] {
    if constexpr (kTraced) {
      if (trace->fault() != ReplayFault::None) {
        return std::unexpected(DiceError::invalid_dice_expression(trace->fault_message()));
      }
    }
    return std::unexpected(budget_.exceeded(refused, 1));
  };
  // The face just drawn, as the face behind a new value at the end of the group.
  auto track_new = [&] {
    if constexpr (kTraced) live->push_back(trace->faces().size() - 1);
  };
  // Every face behind the group's values leaves the roll with `fate`.
  auto retire_group = [&](std::size_t begin, [[maybe_unused]] FaceFate fate,
                          [[maybe_unused]] const DiceModifier& cause) {
    if constexpr (kTraced) {
      for (std::size_t j = begin; j < live->size(); ++j) trace->set_fate((*live)[j], fate, cause);
      live->resize(begin);
    }
  };
  auto too_many_faces = [&] {
    return std::unexpected(DiceError::budget_exceeded(name_of(Resource::collection_items), 0,
                                                      faces, collection_limit));
  };

  if (!kTraced && !explode && rerolls.empty()) {
    // Plain dice: each die is one face, so the face counter never passes `count`, which
    // has been compared already. Every face whose generated_values and work_units
    // charges fit is drawn in one bulk call; the dice after those (if any) go through
    // the loop below, which fails at the first of them with the exact error.
    auto room_of = [&](Resource r) { return budget_.limit(r) - budget_.used(r); };
    const std::uint64_t room =
        std::min(room_of(Resource::generated_values), room_of(Resource::work_units));
    const auto whole = static_cast<std::size_t>(std::min(count, room));
    values.resize(whole);
    // Writing the unsigned draws into the signed values is allowed: an object may be
    // accessed through the unsigned type that corresponds to its own.
    const std::size_t filled = generator.fill_uniform_below(
        sides, reinterpret_cast<std::uint64_t*>(values.data()), whole, budget_);
    values.resize(filled);
    for (std::int64_t& value : values) value += 1;
    (void)budget_.try_charge(Resource::generated_values, filled);
    (void)budget_.try_charge(Resource::work_units, filled);
    faces = filled;
    if (filled < whole) {
      refused = Resource::rng_words;
      return refused_error();
    }
    die = whole;
  }

  for (; die < count; ++die) {
    const std::size_t begin = values.size();
    std::uint32_t last = draw(FaceOrigin::Roll);
    if (last == 0) return refused_error();
    faces = saturating_add(faces, 1);
    if (faces > collection_limit) return too_many_faces();
    values.push_back(last);
    track_new();

    if (explode) {
      while (last == sides) {
        last = draw(FaceOrigin::Explode);
        if (last == 0) return refused_error();
        faces = saturating_add(faces, 1);
        if (faces > collection_limit) return too_many_faces();
        values.push_back(last);
        track_new();
      }
    }

    // The rerolls scan the group once each at most; a scan draws nothing unless it
    // matches, so the scans are counted against the work limit here.
    if (!rerolls.empty()) {
      KAVELO_TRY(count_reroll_scans(rerolls.size() * (values.size() - begin)));
    }
    for (const DiceModifier& modifier : rerolls) {
      const std::int64_t threshold = modifier.value;
      switch (modifier.kind) {
        case ModifierKind::Reroll:
          if (any_at_most(values, begin, threshold)) {
            std::uint32_t face = draw(FaceOrigin::Reroll);
            if (face == 0) return refused_error();
            values.resize(begin);
            values.push_back(face);
            retire_group(begin, FaceFate::Rerolled, modifier);
            track_new();
          }
          break;
        case ModifierKind::RerollOnce:
          for (std::size_t j = begin; j < values.size(); ++j) {
            if (values[j] <= threshold) {
              std::uint32_t face = draw(FaceOrigin::Reroll);
              if (face == 0) return refused_error();
              values[j] = face;
              if constexpr (kTraced) {
                trace->set_fate((*live)[j], FaceFate::Rerolled, modifier);
                (*live)[j] = trace->faces().size() - 1;
              }
              break;
            }
          }
          break;
        case ModifierKind::RerollUntil:
          if (values.back() <= threshold) {
            // No cap of its own: a threshold of `sides` or more ends only at a limit.
            std::uint32_t face = 0;
            do {
              face = draw(FaceOrigin::Reroll);
              if (face == 0) return refused_error();
              if constexpr (kTraced) {
                if (static_cast<std::int64_t>(face) <= threshold) {
                  trace->set_fate(trace->faces().size() - 1, FaceFate::Rerolled, modifier);
                }
              }
            } while (static_cast<std::int64_t>(face) <= threshold);
            values.resize(begin);
            values.push_back(face);
            retire_group(begin, FaceFate::Rerolled, modifier);
            track_new();
          }
          break;
        case ModifierKind::RerollAdd:
          if (any_at_most(values, begin, threshold)) {
            std::uint32_t face = draw(FaceOrigin::Reroll);
            if (face == 0) return refused_error();
            auto sum = checked_sum(std::span<const std::int64_t>(values).subspan(begin),
                                   "reroll-and-add aggregation");
            if (!sum) return std::unexpected(std::move(sum.error()));
            auto total = checked_add(*sum, face, "reroll-and-add aggregation");
            if (!total) return std::unexpected(std::move(total.error()));
            values.resize(begin);
            values.push_back(*total);
            if constexpr (kTraced) {
              track_new();
              retire_group(begin, FaceFate::Added, modifier);
              live->push_back(RollTrace::kNotAFace);
            }
          }
          break;
        default:
          break;
      }
    }

    if (values.size() != begin + 1 || !groups.all_singletons()) groups.close_group(begin);
  }

  if (!dice.modifiers.empty()) {
    // KeepAlias acts before every other pool modifier, wherever it stands in the list.
    // Every pass is charged; the per-die kinds have no pool effect of their own.
    for (const DiceModifier& modifier : dice.modifiers) {
      if (modifier.kind != ModifierKind::KeepAlias) continue;
      if (!try_charge_pass(budget_, groups)) return pass_refused(groups);
      if constexpr (kTraced) {
        apply_traced_pool_modifier(groups, modifier, *trace);
      } else {
        apply_pool_modifier(groups, modifier);
      }
    }
    for (const DiceModifier& modifier : dice.modifiers) {
      if (modifier.kind == ModifierKind::KeepAlias) continue;
      if (!try_charge_pass(budget_, groups)) return pass_refused(groups);
      if (!is_explode(modifier.kind) && !is_reroll(modifier.kind)) {
        if constexpr (kTraced) {
          apply_traced_pool_modifier(groups, modifier, *trace);
        } else {
          apply_pool_modifier(groups, modifier);
        }
      }
    }
  }

  KAVELO_TRY(budget_.ensure(Resource::collection_items, groups.value_count()));
  if constexpr (kTraced) {
    TracedTerm& term = trace->terms_.back();
    term.end_face = trace->faces().size();
    term.values = groups;
  }
  return groups;
}

template Result<RollGroups> DiceCalculator::roll_term<false>(const DiceTerm& dice);
template Result<RollGroups> DiceCalculator::roll_term<true>(const DiceTerm& dice);

}  // namespace kavelo
