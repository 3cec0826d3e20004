// Evaluation with a trace: the plain evaluation with the calculator's trace set, and the
// replay's checks.
#include "calculator/roll_trace.hpp"

#include <stdexcept>

#include "calculator/dice_calculator.hpp"

namespace kavelo {

DiceError RollTrace::fault_error() const {
  switch (fault_) {
    case ReplayFault::OutOfRange:
      return DiceError::replay_face_out_of_range(replay_next_ + 1, replay_[replay_next_],
                                                 fault_sides_);
    case ReplayFault::TooFew: return DiceError::replay_too_few(replay_.size());
    case ReplayFault::LeftOver:
      return DiceError::replay_left_over(replay_.size() - replay_next_, replay_.size(),
                                         replay_next_);
    case ReplayFault::None: break;
  }
  throw std::logic_error("a replay error asked of a replay that has not failed");
}

std::string RollTrace::fault_message() const {
  return fault_ == ReplayFault::None ? std::string() : fault_error().display();
}

void RollTrace::add_plain_faces(std::span<const std::int64_t> values, std::uint64_t first_die) {
  faces_.reserve(faces_.size() + values.size());
  live_.reserve(live_.size() + values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    live_.push_back(
        add_face(static_cast<std::uint32_t>(values[i]), FaceOrigin::Roll, first_die + i));
  }
}

void RollTrace::settle_term(std::size_t first_face, std::size_t first_derived) noexcept {
  // Takes the fate of the value `into` when `fate` counts only through it and it was
  // removed; `into` is already settled.
  auto settle = [&](FaceFate& fate, DiceModifier& cause, std::uint32_t into) {
    if (into == kNoIndex || (fate != FaceFate::Added && fate != FaceFate::Counted)) return;
    const DerivedValue& target = derived_[into];
    if (!is_removal(target.fate)) return;
    fate = target.fate;
    cause = target.cause;
  };
  for (std::size_t i = derived_.size(); i > first_derived; --i) {
    DerivedValue& value = derived_[i - 1];
    settle(value.fate, value.cause, value.into);
  }
  for (std::size_t i = first_face; i < faces_.size(); ++i) {
    TracedFace& face = faces_[i];
    settle(face.fate, face.cause, face.into);
  }
}

namespace {

// A replay must use every face it was given.
template <class Value>
Result<Value> with_replay_used(Result<Value> result, RollTrace& trace) {
  if (result && trace.replaying() && trace.replay_used() != trace.replay_size()) {
    return std::unexpected(trace.left_over());
  }
  return result;
}

}  // namespace

Result<DiceResult> DiceCalculator::trace_expression(const Expression& expression,
                                                    RollTrace& trace) {
  trace.clear();
  trace_ = &trace;
  auto result = evaluate_expression(expression);
  trace_ = nullptr;
  return with_replay_used(std::move(result), trace);
}

Result<ProgramResult> DiceCalculator::trace_program(const Program& program, RollTrace& trace) {
  trace.clear();
  trace_ = &trace;
  auto result = evaluate_program(program);
  trace_ = nullptr;
  return with_replay_used(std::move(result), trace);
}

}  // namespace kavelo
