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

namespace kavelo {

namespace {

constexpr const char* kInvalidDiceMessage = "骰子数量和面数必须大于0";

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

// A modifier's n as a count: sign-extended, then read unsigned, so that a negative n is
// larger than any pool.
constexpr std::uint64_t modifier_count(std::int32_t value) noexcept {
  return static_cast<std::uint64_t>(static_cast<std::int64_t>(value));
}

void sort_descending(std::vector<std::int64_t>& pool) {
  std::sort(pool.begin(), pool.end(), std::greater<>());
}

void sort_ascending(std::vector<std::int64_t>& pool) { std::sort(pool.begin(), pool.end()); }

// The n highest values, highest first.
void keep_highest(std::vector<std::int64_t>& pool, std::uint64_t n) {
  if (n < pool.size()) {
    std::partial_sort(pool.begin(), pool.begin() + static_cast<std::ptrdiff_t>(n), pool.end(),
                      std::greater<>());
    pool.resize(n);
  } else {
    sort_descending(pool);
  }
}

// The n lowest values, lowest first.
void keep_lowest(std::vector<std::int64_t>& pool, std::uint64_t n) {
  if (n < pool.size()) {
    std::partial_sort(pool.begin(), pool.begin() + static_cast<std::ptrdiff_t>(n), pool.end());
    pool.resize(n);
  } else {
    sort_ascending(pool);
  }
}

void drop_first(std::vector<std::int64_t>& pool, std::uint64_t n) {
  std::size_t dropped = n < pool.size() ? static_cast<std::size_t>(n) : pool.size();
  pool.erase(pool.begin(), pool.begin() + static_cast<std::ptrdiff_t>(dropped));
}

// Keeps the first occurrence of every value, in pool order. The seen values go into an
// open-addressing table at most half full, so one pass costs two allocations in all.
void keep_first_occurrences(std::vector<std::int64_t>& pool) {
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
    const auto value = static_cast<std::uint64_t>(pool[i]);
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

// Applies one pool modifier to the flattened pool and rebuilds one group per value.
// The per-die kinds have no pool effect and leave the groups as they are.
void apply_pool_modifier(RollGroups& groups, const DiceModifier& modifier) {
  const PoolEffect effect = modifier_spec(modifier.kind).effect;
  if (effect == PoolEffect::None) return;
  const std::uint64_t n = modifier_count(modifier.value);
  std::vector<std::int64_t> pool = groups.take_values();
  switch (effect) {
    case PoolEffect::KeepHighest: keep_highest(pool, n); break;
    case PoolEffect::KeepLowest: keep_lowest(pool, n); break;
    case PoolEffect::DropHighest:
      sort_descending(pool);
      drop_first(pool, n);
      break;
    case PoolEffect::DropLowest:
      sort_ascending(pool);
      drop_first(pool, n);
      break;
    case PoolEffect::FirstOfEach: keep_first_occurrences(pool); break;
    case PoolEffect::Ascending: sort_ascending(pool); break;
    case PoolEffect::CountOf: {
      const std::int64_t target = modifier.value;
      const auto matches = std::count(pool.begin(), pool.end(), target);
      pool.assign(1, static_cast<std::int64_t>(matches));
      break;
    }
    case PoolEffect::None: break;
  }
  groups.assign_singletons(std::move(pool));
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
class DiePhase {
 public:
  DiePhase(DiceCalculator& calculator, RequestRandom& generator, ExecutionBudget& budget,
           std::vector<std::int64_t>& values, std::uint32_t sides) noexcept
      : calculator_(calculator),
        generator_(generator),
        budget_(budget),
        values_(values),
        sides_(sides),
        collection_limit_(budget.limit(Resource::CollectionItems)) {}

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
  // Inlined into the roller's loop on purpose: as a call it costs the per-die path about
  // 4% more instructions.
  [[gnu::always_inline]] bool roll_die(bool explode, std::span<const DiceModifier> rerolls) {
    const std::size_t begin = values_.size();
    std::uint32_t last = 0;
    if (!add_counted_face(last)) return false;
    if (explode) {
      while (last == sides_) {
        if (!add_counted_face(last)) return false;
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

  // One face drawn into `face`; false when a charge is refused.
  bool draw(std::uint32_t& face) noexcept {
    face = draw_face(generator_, budget_, sides_, refused_);
    if (face != 0) return true;
    stop_ = Stop::Refused;
    return false;
  }

  // A first face or an explosion: drawn, counted against collection_items, appended.
  bool add_counted_face(std::uint32_t& face) {
    if (!draw(face)) return false;
    faces_ = saturating_add(faces_, 1);
    if (faces_ > collection_limit_) {
      stop_ = Stop::TooManyFaces;
      return false;
    }
    values_.push_back(face);
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
        if (!draw(face)) return false;
        values_.resize(begin);
        values_.push_back(face);
        return true;
      case ModifierKind::RerollOnce:
        // The first value at most n becomes one new face.
        for (std::size_t j = begin; j < values_.size(); ++j) {
          if (values_[j] > threshold) continue;
          if (!draw(face)) return false;
          values_[j] = face;
          return true;
        }
        return true;
      case ModifierKind::RerollUntil: return reroll_until(threshold, begin);
      case ModifierKind::RerollAdd: return reroll_add(threshold, begin);
      default: return true;
    }
  }

  // While the last value is at most n, a new face replaces the group. No cap of its
  // own: a threshold of the sides or more ends only at a limit.
  bool reroll_until(std::int64_t threshold, std::size_t begin) {
    if (values_.back() > threshold) return true;
    std::uint32_t face = 0;
    do {
      if (!draw(face)) return false;
    } while (static_cast<std::int64_t>(face) <= threshold);
    values_.resize(begin);
    values_.push_back(face);
    return true;
  }

  // When any value is at most n, the group becomes its sum plus one new face.
  bool reroll_add(std::int64_t threshold, std::size_t begin) {
    if (!any_at_most(values_, begin, threshold)) return true;
    std::uint32_t face = 0;
    if (!draw(face)) return false;
    auto sum = checked_sum(std::span<const std::int64_t>(values_).subspan(begin),
                           "reroll-and-add aggregation");
    if (!keep(sum)) return false;
    auto total = checked_add(*sum, face, "reroll-and-add aggregation");
    if (!keep(total)) return false;
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
};

}  // namespace

Result<std::uint32_t> DiceCalculator::roll_face(std::uint32_t sides) {
  // Callers check sides first; a zero here would have no face to return.
  if (sides == 0) {
    return std::unexpected(DiceError::invalid_dice_expression(kInvalidDiceMessage));
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
  if (dice.count < 1 || dice.sides < 1) {
    return std::unexpected(DiceError::invalid_dice_expression(kInvalidDiceMessage));
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
  DiePhase phase(*this, *generator_, budget_, groups.mutable_values(),
                 static_cast<std::uint32_t>(dice.sides));

  std::uint64_t die = 0;
  if (!explode && rerolls.empty() && !phase.roll_plain(count, die)) return phase.error();
  for (; die < count; ++die) {
    const std::size_t begin = groups.value_count();
    if (!phase.roll_die(explode, rerolls)) return phase.error();
    if (groups.value_count() != begin + 1 || !groups.all_singletons()) groups.close_group(begin);
  }

  if (!dice.modifiers.empty()) KAVELO_TRY(apply_pool_phase(groups, dice.modifiers));
  KAVELO_TRY(budget_.ensure(Resource::CollectionItems, groups.value_count()));
  return groups;
}

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
