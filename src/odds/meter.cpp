#include "odds/meter.hpp"

namespace kavelo::odds {

OddsError too_complex(std::string what) {
  return OddsError{"[odds.too_complex] " + std::move(what)};
}

OddsError Meter::work_exceeded() const {
  return too_complex("the odds need more than " + std::to_string(limits_.max_work) +
                     " steps of work (max_work)");
}

OddsError Meter::outcomes_exceeded(std::uint64_t count, const char* what) const {
  return too_complex(std::string(what) + " has " + std::to_string(count) + " outcomes, more than " +
                     std::to_string(limits_.max_outcomes) + " (max_outcomes)");
}

OddsError Meter::cells_exceeded() const {
  return too_complex("the odds need more than " + std::to_string(cell_limit_) +
                     " probabilities stored at once (" + std::to_string(kCellsPerOutcome) +
                     " times max_outcomes)");
}

}  // namespace kavelo::odds
