// The front end: source text to syntax tree, under the parse limits of a policy.
#pragma once

#include <string_view>

#include "errors/dice_error.hpp"
#include "resource/resource_policy.hpp"
#include "types/expression.hpp"

namespace kavelo {

struct DiceParser {
  // A whole program: instructions separated by ";", optionally one trailing comment.
  [[nodiscard]] static Result<Program> parse_program_with_policy(std::string_view source,
                                                                 const ResourcePolicy& policy);
  // Exactly one instruction; a trailing comment wraps the tree in a Commented node.
  [[nodiscard]] static Result<Expression> parse_expression_with_policy(
      std::string_view source, const ResourcePolicy& policy);
};

}  // namespace kavelo
