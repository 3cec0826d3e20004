// Evaluation with a trace: the plain evaluation with the calculator's trace set, and the
// replay's checks.
#include "calculator/roll_trace.hpp"

#include "calculator/dice_calculator.hpp"

namespace kavelo {

std::string RollTrace::fault_message() const {
  const std::string position = "face " + std::to_string(replay_next_ + 1);
  switch (fault_) {
    case ReplayFault::OutOfRange:
      return position + " (" + std::to_string(replay_[replay_next_]) +
             ") is not a face of a die with " + std::to_string(fault_sides_) +
             " sides: it must be from 1 to " + std::to_string(fault_sides_);
    case ReplayFault::TooFew:
      return "the expression draws more faces than the " + std::to_string(replay_.size()) +
             " given";
    case ReplayFault::LeftOver:
      return std::to_string(replay_.size() - replay_next_) + " of the " +
             std::to_string(replay_.size()) + " faces left over: the expression draws only " +
             std::to_string(replay_next_);
    case ReplayFault::None: break;
  }
  return {};
}

Result<DiceResult> DiceCalculator::trace_expression(const Expression& expression,
                                                    RollTrace& trace) {
  trace.clear();
  trace_ = &trace;
  auto result = evaluate_expression(expression);
  trace_ = nullptr;
  if (result && trace.replaying() && trace.replay_next_ != trace.replay_.size()) {
    trace.fault_ = ReplayFault::LeftOver;
    return std::unexpected(DiceError::invalid_dice_expression(trace.fault_message()));
  }
  return result;
}

}  // namespace kavelo
