// A shortcut for the common case: well-formed text parsed straight into the syntax
// tree, without the parse tree and without recording failures for a report.
#pragma once

#include <string_view>

#include "errors/dice_error.hpp"
#include "resource/resource_policy.hpp"
#include "types/expression.hpp"

namespace kavelo {

// Builds `program` from `source` and returns true when the whole text is a program
// whose every number fits its field; the tree is then exactly the one the grammar and
// the builders make. Returns false for anything else, leaving `program` to be discarded:
// the caller then runs the grammar, which produces the exact error. Bracket depth must
// have been checked before (nesting is bounded again here as a safety net).
[[nodiscard]] bool parse_program_directly(std::string_view source, Program& program);

// The program entry point without the shortcut: every text through the grammar and the
// builders. The reference that the shortcut is tested against.
[[nodiscard]] Result<Program> parse_program_through_grammar(std::string_view source,
                                                            const ResourcePolicy& policy);

}  // namespace kavelo
