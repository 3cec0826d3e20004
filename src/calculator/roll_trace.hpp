// The story of one evaluated expression: every face the dice terms drew, in draw
// order, with the die it belongs to, how it came and what became of it, and per term
// the values the term contributed to the result's rolls.
//
// A calculator records into a RollTrace only while DiceCalculator::trace_expression
// runs; plain requests carry a null trace and record nothing. A trace can also replay:
// given faces, every face the roller would draw from the generator is taken from them
// instead (with the same charges), so the same expression evaluates to the same result.
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

// What became of a face. Kept faces are in the term's final values as themselves;
// every other fate names the modifier that decided it (TracedFace::cause).
enum class FaceFate : std::uint8_t {
  Kept,
  Dropped,    // left out by a keep or drop modifier
  Rerolled,   // replaced by a reroll
  Duplicate,  // removed by unique as a repeat of an earlier value
  Added,      // added into a reroll-and-add sum, which is a value of the term
  Counted,    // matched by count
  Uncounted,  // looked at by count without matching
};

struct TracedFace {
  std::uint32_t value = 0;
  FaceOrigin origin = FaceOrigin::Roll;
  FaceFate fate = FaceFate::Kept;
  std::uint64_t die = 0;  // index of the die within its term, from 0
  DiceModifier cause;     // the deciding modifier; meaningless for Kept
};

struct TracedTerm {
  std::int32_t count = 0;
  std::int32_t sides = 0;
  std::vector<DiceModifier> modifiers;
  std::size_t first_face = 0;  // faces [first_face, end_face) of the trace are this term's
  std::size_t end_face = 0;
  RollGroups values;  // what the term contributed to the result's rolls
};

// Why a replay failed; Fault::None while it has not.
enum class ReplayFault : std::uint8_t { None, OutOfRange, TooFew, LeftOver };

class RollTrace {
 public:
  // Records the faces the generator draws.
  RollTrace() = default;
  // Records, taking every face from `faces` (which must outlive the trace's use) instead
  // of the generator.
  explicit RollTrace(std::span<const std::int64_t> faces) noexcept
      : replay_(faces), replaying_(true) {}

  [[nodiscard]] std::span<const TracedFace> faces() const noexcept { return faces_; }
  [[nodiscard]] std::span<const TracedTerm> terms() const noexcept { return terms_; }

  [[nodiscard]] bool replaying() const noexcept { return replaying_; }
  [[nodiscard]] std::size_t replay_used() const noexcept { return replay_next_; }
  [[nodiscard]] ReplayFault fault() const noexcept { return fault_; }
  // The error of a failed replay (which face, and why), and its text.
  [[nodiscard]] DiceError fault_error() const;
  [[nodiscard]] std::string fault_message() const;

 private:
  friend class DiceCalculator;

 public:
  // --- used by the roller while it records ---

  // Sentinel tag of a value that is not one face (a reroll-and-add sum, a count).
  static constexpr std::size_t kNotAFace = static_cast<std::size_t>(-1);

  std::size_t add_face(std::uint32_t value, FaceOrigin origin, std::uint64_t die) {
    faces_.push_back(TracedFace{value, origin, FaceFate::Kept, die, DiceModifier{}});
    return faces_.size() - 1;
  }
  void set_fate(std::size_t face, FaceFate fate, const DiceModifier& cause) noexcept {
    if (face == kNotAFace) return;
    faces_[face].fate = fate;
    faces_[face].cause = cause;
  }
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

  // While a term rolls: the face behind each of its current values (kNotAFace for a
  // value that is none), parallel to the term's flat value vector.
  std::vector<std::size_t> live_;
  std::vector<TracedTerm> terms_;

 private:
  void clear() noexcept {
    faces_.clear();
    terms_.clear();
    live_.clear();
    replay_next_ = 0;
    fault_ = ReplayFault::None;
  }

  std::vector<TracedFace> faces_;
  std::span<const std::int64_t> replay_;
  std::size_t replay_next_ = 0;
  bool replaying_ = false;
  ReplayFault fault_ = ReplayFault::None;
  std::uint32_t fault_sides_ = 0;  // the die whose face was out of range
};

}  // namespace kavelo
