// Exact odds of one expression of the dice language: the probability of every total,
// of every failure, and of the rolls left out where explosions could go on without end.
//
// The semantics are the roller's, outcome by outcome; the roll's resource limits play
// no part, the odds' own limits (OddsLimits) bound the computation instead.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "odds/distribution.hpp"
#include "odds/meter.hpp"
#include "types/expression.hpp"

namespace kavelo::odds {

struct OddsReport {
  std::vector<std::int64_t> outcomes;            // ascending
  std::vector<double> probabilities;             // of each outcome
  std::array<double, kFailureKinds> failures{};  // by Failure
  double truncated = 0.0;
  // What the computation used.
  std::uint64_t work = 0;
  std::uint64_t peak_cells = 0;
};

// The odds of the expression rooted at `root`.
[[nodiscard]] OddsResult<Dist> expression_odds(const ExpressionPool& pool, NodeId root,
                                               Meter& meter);

// The odds of one dice term; `tolerance` is the mass its explosions may leave out.
[[nodiscard]] OddsResult<Dist> term_odds(const DiceTerm& term, double tolerance, Meter& meter);

// The "[odds.invalid_argument]" errors of a tolerance and of a count limit that lie out of
// range; `shown` is how the value given is written in the text.
[[nodiscard]] OddsError invalid_tolerance(std::string_view shown);
[[nodiscard]] OddsError invalid_count(std::string_view name, std::string_view shown);

// Whether `limits` can bound a computation: a tolerance strictly between 0 and 1 (not NaN),
// and counts of at least 1. Every loop that follows explosions relies on the tolerance.
[[nodiscard]] OddsStatus check_limits(const OddsLimits& limits);

// Parses `text` (one expression, a comment allowed) with the roller's front end and
// computes its odds. Limits that fail check_limits are refused before the text is read; a
// program of several instructions is refused.
[[nodiscard]] OddsResult<OddsReport> compute_odds(std::string_view text, const OddsLimits& limits);

}  // namespace kavelo::odds
