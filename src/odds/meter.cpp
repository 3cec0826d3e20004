#include "odds/meter.hpp"

#include "errors/dice_error.hpp"

namespace kavelo::odds {

OddsError too_complex(std::string what) {
  return OddsError{DiceError::odds_too_complex(std::move(what)).display()};
}

OddsError Meter::work_exceeded() const {
  return OddsError{DiceError::odds_work(limits_.max_work).display()};
}

OddsError Meter::outcomes_exceeded(std::uint64_t count, const char* what) const {
  return OddsError{DiceError::odds_outcomes(what, count, limits_.max_outcomes).display()};
}

OddsError Meter::cells_exceeded() const {
  return OddsError{DiceError::odds_cells(cell_limit_, kCellsPerOutcome).display()};
}

}  // namespace kavelo::odds
