// The story of one evaluated expression: every face the dice terms drew, in draw
// order, with the die it belongs to, how it came and what became of it; every value a
// modifier derived from several values (a reroll-and-add sum, a count) with what became
// of it; and per term the values the term contributed to the result's rolls.
//
// A calculator records into a RollTrace only while DiceCalculator::trace_expression
// runs; plain requests carry a null trace and record nothing. Every face and every
// derived value recorded is one trace node, charged against the trace_nodes limit as it
// is recorded. A trace can also replay: given faces, every face the roller would draw
// from the generator is taken from them instead (with the same charges), so the same
// expression evaluates to the same result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "errors/dice_error.hpp"
#include "types/expression.hpp"
#include "types/roll_groups.hpp"

namespace kavelo {

// How a face came: the die's first face, an explosion after a maximum face, or a
// reroll's new face.
enum class FaceOrigin : std::uint8_t { Roll, Explode, Reroll };

// What became of a face or a derived value. Kept ones are in the term's final values
// as themselves; every other fate names the modifier that decided it (`cause`).
//
// Added and Counted say that the value went into a derived value (`into`), and count
// only as far as that one does: once the term is settled, a value that went into a
// derived value that was removed (dropped, rerolled, a duplicate, not counted) carries
// that removal's fate and cause instead, down to its faces.
enum class FaceFate : std::uint8_t {
  Kept,
  Dropped,    // left out by a keep or drop modifier
  Rerolled,   // replaced by a reroll
  Duplicate,  // removed by unique as a repeat of an earlier value
  Added,      // added into a reroll-and-add sum
  Counted,    // matched by count
  Uncounted,  // looked at by count without matching
};

// True for the fates of values that do not count towards the term at all.
constexpr bool is_removal(FaceFate fate) noexcept {
  return fate == FaceFate::Dropped || fate == FaceFate::Rerolled || fate == FaceFate::Duplicate ||
         fate == FaceFate::Uncounted;
}

// `into` and `die` of the values that have none.
inline constexpr std::uint32_t kNoIndex = UINT32_MAX;

struct TracedFace {
  std::uint32_t value = 0;
  std::uint32_t die = 0;          // index of the die within its term, from 0
  std::uint32_t into = kNoIndex;  // the derived value (index in derived()) it is an input of
  DiceModifier cause;             // the deciding modifier; meaningless for Kept
  FaceOrigin origin = FaceOrigin::Roll;
  FaceFate fate = FaceFate::Kept;
};

// What made a derived value: a reroll-and-add sum of a die's values and one new face,
// or a count of the pool's values equal to the modifier's n.
enum class DerivedKind : std::uint8_t { Sum, Count };

struct DerivedValue {
  std::int64_t value = 0;
  std::uint32_t die = kNoIndex;   // a sum's die; kNoIndex for a count
  std::uint32_t into = kNoIndex;  // the derived value it is an input of, if any
  DiceModifier made_by;           // the `a` or `c` that made it
  DiceModifier cause;             // the deciding modifier; meaningless for Kept
  DerivedKind kind = DerivedKind::Sum;
  FaceFate fate = FaceFate::Kept;
};

struct TracedTerm {
  std::int32_t count = 0;
  std::int32_t sides = 0;
  std::vector<DiceModifier> modifiers;
  std::size_t first_face = 0;  // faces [first_face, end_face) of the trace are this term's
  std::size_t end_face = 0;
  std::size_t first_derived = 0;  // and derived values [first_derived, end_derived)
  std::size_t end_derived = 0;
  RollGroups values;  // what the term contributed to the result's rolls
};

// Why a replay failed; Fault::None while it has not.
enum class ReplayFault : std::uint8_t { None, OutOfRange, TooFew, LeftOver };

// A value of a term's pool while it rolls: a face (its index in faces()) or, with
// kDerivedNode set, a derived value (its index in derived()). The trace_nodes limit
// (at most 200,000) keeps both indices far below kDerivedNode.
using TraceNode = std::uint32_t;
inline constexpr TraceNode kDerivedNode = 0x8000'0000u;

class RollTrace {
 public:
  // Records the faces the generator draws.
  RollTrace() = default;
  // Records, taking every face from `faces` (which must outlive the trace's use) instead
  // of the generator.
  explicit RollTrace(std::span<const std::int64_t> faces) noexcept
      : replay_(faces), replaying_(true) {}

  [[nodiscard]] std::span<const TracedFace> faces() const noexcept { return faces_; }
  [[nodiscard]] std::span<const DerivedValue> derived() const noexcept { return derived_; }
  [[nodiscard]] std::span<const TracedTerm> terms() const noexcept { return terms_; }
  // In a traced program, the index in terms() of each instruction's first term.
  [[nodiscard]] std::span<const std::size_t> instruction_starts() const noexcept {
    return instruction_starts_;
  }

  [[nodiscard]] bool replaying() const noexcept { return replaying_; }
  [[nodiscard]] std::size_t replay_used() const noexcept { return replay_next_; }
  [[nodiscard]] std::size_t replay_size() const noexcept { return replay_.size(); }
  // Marks a finished replay that left faces unused; its error.
  [[nodiscard]] DiceError left_over() {
    fault_ = ReplayFault::LeftOver;
    return fault_error();
  }
  [[nodiscard]] ReplayFault fault() const noexcept { return fault_; }
  // The error of a failed replay (which face, and why), and its text.
  [[nodiscard]] DiceError fault_error() const;
  [[nodiscard]] std::string fault_message() const;

 private:
  friend class DiceCalculator;

 public:
  // --- used by the roller while it records; the roller charges trace_nodes first ---

  TraceNode add_face(std::uint32_t value, FaceOrigin origin, std::uint64_t die) {
    faces_.push_back(TracedFace{value, static_cast<std::uint32_t>(die), kNoIndex, DiceModifier{},
                                origin, FaceFate::Kept});
    return static_cast<TraceNode>(faces_.size() - 1);
  }
  // Room for `more` faces (and terms) after those recorded.
  void reserve(std::size_t more_faces, std::size_t more_terms) {
    faces_.reserve(faces_.size() + more_faces);
    terms_.reserve(terms_.size() + more_terms);
  }
  // The faces of plain dice, one per die: `values[i]` is the first face of die
  // `first_die + i`.
  void add_plain_faces(std::span<const std::int64_t> values, std::uint64_t first_die);
  TraceNode add_derived(std::int64_t value, DerivedKind kind, const DiceModifier& made_by,
                        std::uint32_t die) {
    derived_.push_back(
        DerivedValue{value, die, kNoIndex, made_by, DiceModifier{}, kind, FaceFate::Kept});
    return static_cast<TraceNode>(derived_.size() - 1) | kDerivedNode;
  }
  [[nodiscard]] std::int64_t value_of(TraceNode node) const noexcept {
    if ((node & kDerivedNode) != 0) return derived_[node & ~kDerivedNode].value;
    return faces_[node].value;
  }
  // `node` leaves the pool with `fate`, decided by `cause`; for Added, Counted and
  // Uncounted, as an input of `into` (a derived node).
  void set_fate(TraceNode node, FaceFate fate, const DiceModifier& cause,
                TraceNode into = kNoIndex) noexcept {
    const std::uint32_t link = into == kNoIndex ? kNoIndex : (into & ~kDerivedNode);
    if ((node & kDerivedNode) != 0) {
      DerivedValue& value = derived_[node & ~kDerivedNode];
      value.fate = fate;
      value.cause = cause;
      value.into = link;
    } else {
      TracedFace& face = faces_[node];
      face.fate = fate;
      face.cause = cause;
      face.into = link;
    }
  }
  // Ends the current term: its faces and derived values from the given starts, and
  // every value that went into a removed derived value takes that removal's fate and
  // cause. A derived value is always made after its inputs, so one pass backwards over
  // the derived values, then one over the faces, settles every chain.
  void settle_term(std::size_t first_face, std::size_t first_derived) noexcept;

  // The next replayed face for a die of `sides` sides, or 0 with fault() set.
  [[nodiscard]] std::uint32_t next_replayed(std::uint32_t sides) noexcept {
    if (replay_next_ == replay_.size()) {
      fault_ = ReplayFault::TooFew;
      return 0;
    }
    const std::int64_t face = replay_[replay_next_];
    if (face < 1 || face > static_cast<std::int64_t>(sides)) {
      fault_ = ReplayFault::OutOfRange;
      fault_sides_ = sides;
      return 0;
    }
    ++replay_next_;
    return static_cast<std::uint32_t>(face);
  }

  // While a term rolls: the node behind each of its current values, parallel to the
  // term's flat value vector.
  std::vector<TraceNode> live_;
  std::vector<TracedTerm> terms_;

 private:
  void clear() noexcept {
    faces_.clear();
    derived_.clear();
    terms_.clear();
    instruction_starts_.clear();
    live_.clear();
    replay_next_ = 0;
    fault_ = ReplayFault::None;
  }

  std::vector<TracedFace> faces_;
  std::vector<DerivedValue> derived_;
  std::vector<std::size_t> instruction_starts_;
  std::span<const std::int64_t> replay_;
  std::size_t replay_next_ = 0;
  bool replaying_ = false;
  ReplayFault fault_ = ReplayFault::None;
  std::uint32_t fault_sides_ = 0;  // the die whose face was out of range
};

}  // namespace kavelo
