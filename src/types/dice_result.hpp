// Result records of evaluation.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "types/roll_groups.hpp"

namespace kavelo {

struct DiceResult {
  std::string expression;
  std::int64_t total = 0;
  RollGroups rolls;
  std::string details;
  std::optional<std::string> comment;
};

struct ProgramResult {
  std::vector<DiceResult> results;
  std::optional<std::string> comment;
};

}  // namespace kavelo
