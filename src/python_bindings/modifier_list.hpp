// The `modifiers` argument of Kavelo.roll_with_modifiers: a sequence of modifier strings
// read into modifiers, bounded by the policy's parse limits while it is read.
#pragma once

#include <Python.h>

#include <optional>
#include <vector>

#include "errors/dice_error.hpp"
#include "resource/resource_policy.hpp"
#include "types/expression.hpp"

namespace kavelo::py {

struct ModifierList {
  std::vector<DiceModifier> modifiers;
  // The error refusing the first string that is no modifier, if any.
  std::optional<DiceError> refusal;
};

// Iterates `object` (any sequence but a str) and reads each item as a modifier string.
// The list is bounded as the text of a roll would be: its syntax-tree nodes (the roll,
// its modifiers and the expression around it) by ast_nodes and the UTF-8 bytes of its
// strings by source_bytes, both compared as they grow, so that a list past either
// limit ends at once with the coded error. False with an exception set on failure.
[[nodiscard]] bool convert_modifier_list(PyObject* object, const char* name,
                                         const ResourcePolicy& policy, ModifierList& out);

}  // namespace kavelo::py
