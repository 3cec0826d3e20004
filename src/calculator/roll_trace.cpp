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

Result<DiceResult> DiceCalculator::trace_expression(const Expression& expression,
                                                    RollTrace& trace) {
  trace.clear();
  trace_ = &trace;
  auto result = evaluate_expression(expression);
  trace_ = nullptr;
  if (result && trace.replaying() && trace.replay_next_ != trace.replay_.size()) {
    trace.fault_ = ReplayFault::LeftOver;
    return std::unexpected(trace.fault_error());
  }
  return result;
}

}  // namespace kavelo
