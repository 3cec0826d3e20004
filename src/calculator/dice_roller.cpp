// Rolling one dice term: the per-die phase (first faces, explosions, rerolls) and the
// pool phase (keep, drop, unique, sort, count), with every face and pass charged.
//
// The groups are built in place at the back of one flat value vector, so the per-die
// phase allocates nothing per die; each pool modifier flattens, reorders and rebuilds
// the pool once.
#include <algorithm>
#include <bit>
#include <functional>
#include <optional>
#include <span>

#include "calculator/checked_sum.hpp"
#include "calculator/dice_calculator.hpp"
#include "calculator/pool_passes.hpp"
#include "calculator/roll_trace.hpp"

namespace kavelo {

namespace {

// One face from 1 to `sides`: rng_words for every 64-bit draw, then one generated value
// and one work unit. Returns 0 when a charge is refused and names the resource in
// `refused`; a refused charge changes nothing, so budget.exceeded(refused, 1) rebuilds
// its error afterwards. Keeping the error out of the return value keeps this small
// enough to inline into the per-die loop.
inline std::uint32_t draw_face(RequestRandom& generator, ExecutionBudget& budget,
                               std::uint32_t sides, Resource& refused) noexcept {
  std::uint64_t value = 0;
  if (!generator.try_uniform_below(sides, budget, value)) {
    refused = Resource::RngWords;
    return 0;
  }
  if (!budget.try_charge(Resource::GeneratedValues, 1)) {
    refused = Resource::GeneratedValues;
    return 0;
  }
  if (!budget.try_charge(Resource::WorkUnits, 1)) {
    refused = Resource::WorkUnits;
    return 0;
  }
  return static_cast<std::uint32_t>(value) + 1;
}

// The work of one modifier pass: the values it works on, and at least one, so that a
// long modifier list after "kh0" does not run for nothing.
std::uint64_t pass_cost(const RollGroups& groups) noexcept {
  return std::max<std::uint64_t>(groups.value_count(), 1);
}

inline bool try_charge_pass(ExecutionBudget& budget, const RollGroups& groups) noexcept {
  return budget.try_charge(Resource::WorkUnits, pass_cost(groups));
}

bool any_at_most(const std::vector<std::int64_t>& values, std::size_t begin,
                 std::int64_t threshold) noexcept {
  for (std::size_t i = begin; i < values.size(); ++i) {
    if (values[i] <= threshold) return true;
  }
  return false;
}

// The per-die phase of one term: first faces, explosions and rerolls, written into the
// flat values where the groups are built. Each step returns false when the phase must
// stop; error() then gives the reason. Nothing here allocates per die.
//
// Traced (kTraced), every face is drawn through the trace, which records it (and takes
// it from the replayed faces when it replays); trace->live_ is kept parallel to the
// values, naming the node behind each, and every node that leaves a group gets its
// fate. Every value, charge and error is the plain phase's, with one trace_nodes charge
// per face and per reroll-and-add sum recorded.
template <bool kTraced>
class DiePhase {
 public:
  DiePhase(DiceCalculator& calculator, RequestRandom& generator, ExecutionBudget& budget,
           std::vector<std::int64_t>& values, std::uint32_t sides, RollTrace* trace) noexcept
      : calculator_(calculator),
        generator_(generator),
        budget_(budget),
        values_(values),
        sides_(sides),
        collection_limit_(budget.limit(Resource::CollectionItems)),
        trace_(trace) {}

  // The bulk path for plain dice (no explosion, no reroll): each die is one face, so the
  // face counter never passes `count`, which has been compared already. Every face whose
  // generated_values and work_units charges fit is drawn in one bulk call; `done` is set
  // to the dice drawn, and the dice after those (if any) are left to roll_die, which
  // fails at the first of them with the exact error.
  bool roll_plain(std::uint64_t count, std::uint64_t& done) {
    auto room_of = [&](Resource r) { return budget_.limit(r) - budget_.used(r); };
    const std::uint64_t room =
        std::min(room_of(Resource::GeneratedValues), room_of(Resource::WorkUnits));
    const auto whole = static_cast<std::size_t>(std::min(count, room));
    values_.resize(whole);
    // Writing the unsigned draws into the signed values is allowed: an object may be
    // accessed through the unsigned type that corresponds to its own.
    const std::size_t filled = generator_.fill_uniform_below(
        sides_, reinterpret_cast<std::uint64_t*>(values_.data()), whole, budget_);
    values_.resize(filled);
    for (std::int64_t& value : values_) value += 1;
    (void)budget_.try_charge(Resource::GeneratedValues, filled);
    (void)budget_.try_charge(Resource::WorkUnits, filled);
    faces_ = filled;
    if (filled < whole) {
      refused_ = Resource::RngWords;
      stop_ = Stop::Refused;
      return false;
    }
    done = whole;
    return true;
  }

  // One die, its group starting at the end of the values: the first face, the
  // explosions while the last face shows the sides, then each reroll in list order.
  // `die` is the die's index in the term. Inlined into the roller's loop on purpose: as a
  // call it costs the per-die path about 4% more instructions.
  [[gnu::always_inline]] bool roll_die(bool explode, std::span<const DiceModifier> rerolls,
                                       [[maybe_unused]] std::uint64_t die) {
    if constexpr (kTraced) die_ = die;
    const std::size_t begin = values_.size();
    std::uint32_t last = 0;
    if (!add_counted_face(last, FaceOrigin::Roll)) return false;
    if (explode) {
      while (last == sides_) {
        if (!add_counted_face(last, FaceOrigin::Explode)) return false;
      }
    }
    if (rerolls.empty()) return true;
    // The rerolls scan the group once each at most; a scan draws nothing unless it
    // matches, so the scans are counted against the work limit here.
    if (!keep(calculator_.count_reroll_scans(rerolls.size() * (values_.size() - begin)))) {
      return false;
    }
    for (const DiceModifier& modifier : rerolls) {
      if (!reroll(modifier, begin)) return false;
    }
    return true;
  }

  // The error that stopped the phase.
  [[gnu::cold]] std::unexpected<DiceError> error() {
    if constexpr (kTraced) {
      if (trace_->fault() != ReplayFault::None) {
        return std::unexpected(trace_->fault_error());
      }
    }
    switch (stop_) {
      case Stop::Refused: return std::unexpected(budget_.exceeded(refused_, 1));
      case Stop::TooManyFaces:
        return std::unexpected(DiceError::budget_exceeded(name_of(Resource::CollectionItems), 0,
                                                          faces_, collection_limit_));
      case Stop::Other: break;
    }
    return std::unexpected(std::move(*other_));
  }

 private:
  enum class Stop : std::uint8_t { Refused, TooManyFaces, Other };

  // One face drawn into `face`; false when a charge is refused (or a replay fails).
  // Traced, the face is recorded once drawn, as node_.
  bool draw(std::uint32_t& face, [[maybe_unused]] FaceOrigin origin) noexcept(!kTraced) {
    if constexpr (kTraced) {
      face =
          trace_->replaying() ? replayed_face() : draw_face(generator_, budget_, sides_, refused_);
      if (face != 0) {
        if (budget_.try_charge(Resource::TraceNodes, 1)) {
          node_ = trace_->add_face(face, origin, die_);
        } else {
          refused_ = Resource::TraceNodes;
          face = 0;
        }
      }
    } else {
      face = draw_face(generator_, budget_, sides_, refused_);
    }
    if (face != 0) return true;
    stop_ = Stop::Refused;
    return false;
  }

  // The next replayed face, charged as a drawn one (one word, one generated value, one
  // work unit); 0 when a charge is refused or the replay has no fitting face.
  std::uint32_t replayed_face() noexcept {
    if (!budget_.try_charge(Resource::RngWords, 1)) {
      refused_ = Resource::RngWords;
    } else if (!budget_.try_charge(Resource::GeneratedValues, 1)) {
      refused_ = Resource::GeneratedValues;
    } else if (!budget_.try_charge(Resource::WorkUnits, 1)) {
      refused_ = Resource::WorkUnits;
    } else {
      return trace_->next_replayed(sides_);
    }
    return 0;
  }

  // Traced: the face just drawn is the node behind a new value at the end of the group.
  void track_new() {
    if constexpr (kTraced) trace_->live_.push_back(node_);
  }

  // Traced: every node behind the group's values leaves it with `fate` (as an input of
  // `into`, when that is a derived node).
  void retire_group(std::size_t begin, [[maybe_unused]] FaceFate fate,
                    [[maybe_unused]] const DiceModifier& cause,
                    [[maybe_unused]] TraceNode into = kNoIndex) {
    if constexpr (kTraced) {
      std::vector<TraceNode>& live = trace_->live_;
      for (std::size_t j = begin; j < live.size(); ++j) {
        trace_->set_fate(live[j], fate, cause, into);
      }
      live.resize(begin);
    }
  }

  // A first face or an explosion: drawn, counted against collection_items, appended.
  bool add_counted_face(std::uint32_t& face, FaceOrigin origin) {
    if (!draw(face, origin)) return false;
    faces_ = saturating_add(faces_, 1);
    if (faces_ > collection_limit_) {
      stop_ = Stop::TooManyFaces;
      return false;
    }
    values_.push_back(face);
    track_new();
    return true;
  }

  // False, keeping the error, when `status` holds one.
  template <class Expected>
  bool keep(Expected&& status) {
    if (status) return true;
    other_.emplace(std::move(status.error()));
    stop_ = Stop::Other;
    return false;
  }

  // One reroll modifier on the die's group, which starts at `begin`.
  [[gnu::always_inline]] bool reroll(const DiceModifier& modifier, std::size_t begin) {
    const std::int64_t threshold = modifier.value;
    std::uint32_t face = 0;
    switch (modifier.kind) {
      case ModifierKind::Reroll:
        // The whole group becomes one new face when any value is at most n.
        if (!any_at_most(values_, begin, threshold)) return true;
        if (!draw(face, FaceOrigin::Reroll)) return false;
        values_.resize(begin);
        values_.push_back(face);
        retire_group(begin, FaceFate::Rerolled, modifier);
        track_new();
        return true;
      case ModifierKind::RerollOnce:
        // The first value at most n becomes one new face.
        for (std::size_t j = begin; j < values_.size(); ++j) {
          if (values_[j] > threshold) continue;
          if (!draw(face, FaceOrigin::Reroll)) return false;
          values_[j] = face;
          if constexpr (kTraced) {
            trace_->set_fate(trace_->live_[j], FaceFate::Rerolled, modifier);
            trace_->live_[j] = node_;
          }
          return true;
        }
        return true;
      case ModifierKind::RerollUntil: return reroll_until(modifier, begin);
      case ModifierKind::RerollAdd: return reroll_add(modifier, begin);
      default: return true;
    }
  }

  // While the last value is at most n, a new face replaces the group. No cap of its
  // own: a threshold of the sides or more ends only at a limit.
  bool reroll_until(const DiceModifier& modifier, std::size_t begin) {
    const std::int64_t threshold = modifier.value;
    if (values_.back() > threshold) return true;
    std::uint32_t face = 0;
    do {
      if (!draw(face, FaceOrigin::Reroll)) return false;
      if constexpr (kTraced) {
        if (static_cast<std::int64_t>(face) <= threshold) {
          trace_->set_fate(node_, FaceFate::Rerolled, modifier);
        }
      }
    } while (static_cast<std::int64_t>(face) <= threshold);
    values_.resize(begin);
    values_.push_back(face);
    retire_group(begin, FaceFate::Rerolled, modifier);
    track_new();
    return true;
  }

  // When any value is at most n, the group becomes its sum plus one new face. Traced,
  // the sum is a derived value (one more trace node) with the group's nodes and the
  // new face as its inputs.
  bool reroll_add(const DiceModifier& modifier, std::size_t begin) {
    const std::int64_t threshold = modifier.value;
    if (!any_at_most(values_, begin, threshold)) return true;
    std::uint32_t face = 0;
    if (!draw(face, FaceOrigin::Reroll)) return false;
    auto sum = checked_sum(std::span<const std::int64_t>(values_).subspan(begin),
                           "reroll-and-add aggregation");
    if (!keep(sum)) return false;
    auto total = checked_add(*sum, face, "reroll-and-add aggregation");
    if (!keep(total)) return false;
    if constexpr (kTraced) {
      if (!budget_.try_charge(Resource::TraceNodes, 1)) {
        refused_ = Resource::TraceNodes;
        stop_ = Stop::Refused;
        return false;
      }
      const TraceNode added = node_;
      const TraceNode sum =
          trace_->add_derived(*total, DerivedKind::Sum, modifier, static_cast<std::uint32_t>(die_));
      retire_group(begin, FaceFate::Added, modifier, sum);
      trace_->set_fate(added, FaceFate::Added, modifier, sum);
      trace_->live_.push_back(sum);
    }
    values_.resize(begin);
    values_.push_back(*total);
    return true;
  }

  DiceCalculator& calculator_;
  RequestRandom& generator_;
  ExecutionBudget& budget_;
  std::vector<std::int64_t>& values_;
  const std::uint32_t sides_;
  const std::uint64_t collection_limit_;
  std::uint64_t faces_ = 0;  // first rolls and explosions; reroll faces do not count
  Resource refused_ = Resource::RngWords;
  Stop stop_ = Stop::Refused;
  std::optional<DiceError> other_;
  [[maybe_unused]] RollTrace* const trace_;  // null unless kTraced
  std::uint64_t die_ = 0;                    // traced: the die being rolled
  TraceNode node_ = 0;                       // traced: the face drawn last
};

// The passes of a traced term's pool phase over `pool`, the term's values paired with
// their nodes; DiceCalculator::apply_pool_phase's passes and charges, each pass through
// apply_traced_pool_effect. Then the values go back into the groups, one group per
// value as the plain passes leave them, and the nodes into trace.live_.
template <class T>
Status run_traced_pool_phase(ExecutionBudget& budget, RollGroups& groups,
                             std::span<const DiceModifier> modifiers, RollTrace& trace) {
  std::vector<T> pool;
  pool.reserve(groups.value_count());
  const std::span<const std::int64_t> values = groups.values();
  for (std::size_t i = 0; i < values.size(); ++i) pool.push_back(T::of(values[i], trace.live_[i]));
  for (int round = 0; round < 2; ++round) {
    for (const DiceModifier& modifier : modifiers) {
      if (acts_first_on_pool(modifier.kind) != (round == 0)) continue;
      const std::uint64_t cost = std::max<std::uint64_t>(pool.size(), 1);
      if (!budget.try_charge(Resource::WorkUnits, cost)) {
        return std::unexpected(budget.exceeded(Resource::WorkUnits, cost));
      }
      const PoolEffect effect = modifier_spec(modifier.kind).effect;
      if (effect == PoolEffect::None) continue;
      if (!apply_traced_pool_effect(pool, effect, modifier, budget, trace)) {
        return std::unexpected(budget.exceeded(Resource::TraceNodes, 1));
      }
    }
  }
  std::vector<std::int64_t> kept;
  kept.reserve(pool.size());
  trace.live_.clear();
  for (const T& v : pool) {
    kept.push_back(value_of(v));
    trace.live_.push_back(v.node_of());
  }
  groups.assign_singletons(std::move(kept));
  return {};
}

// The pool phase of a traced term. A term without pool effects keeps its groups as the
// dice made them (each pass is charged all the same).
Status apply_traced_pool_phase(ExecutionBudget& budget, RollGroups& groups,
                               std::span<const DiceModifier> modifiers, RollTrace& trace) {
  const bool any_effect = std::any_of(modifiers.begin(), modifiers.end(), [](const auto& m) {
    return modifier_spec(m.kind).effect != PoolEffect::None;
  });
  if (!any_effect) {
    for (std::size_t i = 0; i < modifiers.size(); ++i) {
      if (!try_charge_pass(budget, groups)) {
        return std::unexpected(budget.exceeded(Resource::WorkUnits, pass_cost(groups)));
      }
    }
    return {};
  }
  const std::span<const std::int64_t> values = groups.values();
  const bool small = std::all_of(values.begin(), values.end(), [](std::int64_t v) {
    return v >= 0 && v <= static_cast<std::int64_t>(UINT32_MAX);
  });
  return small ? run_traced_pool_phase<PackedValue>(budget, groups, modifiers, trace)
               : run_traced_pool_phase<TracedValue>(budget, groups, modifiers, trace);
}

}  // namespace

Result<std::uint32_t> DiceCalculator::roll_face(std::uint32_t sides) {
  // Callers check sides first; a zero here would have no face to return.
  if (sides == 0) {
    return std::unexpected(DiceError::of(ErrorId::DiceNotPositive));
  }
  KAVELO_TRY(ensure_generator());
  Resource refused = Resource::RngWords;
  std::uint32_t face = draw_face(*generator_, budget_, sides, refused);
  if (face == 0) return std::unexpected(budget_.exceeded(refused, 1));
  return face;
}

Status DiceCalculator::charge_modifier_work(const RollGroups& groups) {
  if (try_charge_pass(budget_, groups)) return {};
  return std::unexpected(budget_.exceeded(Resource::WorkUnits, pass_cost(groups)));
}

std::unexpected<DiceError> DiceCalculator::pass_refused(const RollGroups& groups) const {
  return std::unexpected(budget_.exceeded(Resource::WorkUnits, pass_cost(groups)));
}

Status DiceCalculator::count_reroll_scans(std::uint64_t scans) {
  const std::uint64_t limit = budget_.limit(Resource::WorkUnits);
  if (scans > limit - reroll_scans_) {
    return std::unexpected(
        DiceError::budget_exceeded(name_of(Resource::WorkUnits), reroll_scans_, scans, limit));
  }
  reroll_scans_ += scans;
  return {};
}

Result<RollGroups> DiceCalculator::roll_dice_with_budget(const DiceTerm& dice) {
  if (trace_ != nullptr) [[unlikely]]
    return roll_term<true>(dice);
  return roll_term<false>(dice);
}

template <bool kTraced>
Result<RollGroups> DiceCalculator::roll_term(const DiceTerm& dice) {
  if (dice.count < 1 || dice.sides < 1) {
    return std::unexpected(DiceError::of(ErrorId::DiceNotPositive));
  }
  const auto count = static_cast<std::uint64_t>(dice.count);
  KAVELO_TRY(budget_.ensure(Resource::SourceItems, count));
  KAVELO_TRY(budget_.ensure(Resource::CollectionItems, count));

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
  // count >= 1, so the first face of the term follows at once: create the generator
  // here if this is the request's first face.
  KAVELO_TRY(ensure_generator());
  // Every die takes at least one word.
  generator_->expect_words(count);
  if constexpr (kTraced) {
    const std::size_t first_face = trace_->faces().size();
    const std::size_t first_derived = trace_->derived().size();
    trace_->terms_.push_back(TracedTerm{dice.count,
                                        dice.sides,
                                        {dice.modifiers.begin(), dice.modifiers.end()},
                                        first_face,
                                        first_face,
                                        first_derived,
                                        first_derived,
                                        {}});
    trace_->live_.clear();
    trace_->live_.reserve(static_cast<std::size_t>(count));
  }
  DiePhase<kTraced> phase(*this, *generator_, budget_, groups.mutable_values(),
                          static_cast<std::uint32_t>(dice.sides), trace_);

  std::uint64_t die = 0;
  if (!explode && rerolls.empty()) {
    if constexpr (!kTraced) {
      if (!phase.roll_plain(count, die)) return phase.error();
    } else if (!trace_->replaying()) {
      // The same bulk draw, for as many dice as trace_nodes has room for, then recorded:
      // roll_die gives the same faces one by one, so any die after those is left to it,
      // which fails at the first with the error a face-by-face record meets.
      const std::uint64_t room =
          budget_.limit(Resource::TraceNodes) - budget_.used(Resource::TraceNodes);
      if (!phase.roll_plain(std::min(count, room), die)) return phase.error();
      (void)budget_.try_charge(Resource::TraceNodes, die);
      trace_->add_plain_faces(groups.values(), 0);
    }
  }
  for (; die < count; ++die) {
    const std::size_t begin = groups.value_count();
    if (!phase.roll_die(explode, rerolls, die)) return phase.error();
    if (groups.value_count() != begin + 1 || !groups.all_singletons()) groups.close_group(begin);
  }

  if (!dice.modifiers.empty()) {
    if constexpr (kTraced) {
      KAVELO_TRY(apply_traced_pool_phase(budget_, groups, dice.modifiers, *trace_));
    } else {
      KAVELO_TRY(apply_pool_phase(groups, dice.modifiers));
    }
  }
  KAVELO_TRY(budget_.ensure(Resource::CollectionItems, groups.value_count()));
  if constexpr (kTraced) {
    TracedTerm& term = trace_->terms_.back();
    term.end_face = trace_->faces().size();
    term.end_derived = trace_->derived().size();
    trace_->settle_term(term.first_face, term.first_derived);
    term.values = groups;
  }
  return groups;
}

template Result<RollGroups> DiceCalculator::roll_term<false>(const DiceTerm& dice);
template Result<RollGroups> DiceCalculator::roll_term<true>(const DiceTerm& dice);

Status DiceCalculator::apply_pool_phase(RollGroups& groups,
                                        std::span<const DiceModifier> modifiers) {
  // KeepAlias acts before every other pool modifier, wherever it stands in the list.
  // Every pass is charged; the per-die kinds have no pool effect of their own.
  for (const DiceModifier& modifier : modifiers) {
    if (!acts_first_on_pool(modifier.kind)) continue;
    if (!try_charge_pass(budget_, groups)) return pass_refused(groups);
    apply_pool_modifier(groups, modifier);
  }
  for (const DiceModifier& modifier : modifiers) {
    if (acts_first_on_pool(modifier.kind)) continue;
    if (!try_charge_pass(budget_, groups)) return pass_refused(groups);
    apply_pool_modifier(groups, modifier);
  }
  return {};
}

}  // namespace kavelo
