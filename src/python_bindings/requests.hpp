// The requests behind the module functions and the roller methods: parse, evaluate
// on a fresh calculator, convert. Each returns a new object, or null with an exception.
#pragma once

#include <Python.h>

#include <cstdint>

#include "python_bindings/binding.hpp"
#include "python_bindings/modifier_list.hpp"
#include "resource/resource_policy.hpp"

namespace kavelo::py {

// The texts come from convert_source_text under `policy`'s source_bytes: a text refused
// there fails here with the source_bytes error, as the parser would report it.
[[nodiscard]] PyObject* roll_expression(const ResourcePolicy& policy, const Utf8Text& text);
[[nodiscard]] PyObject* run_program_text(const ResourcePolicy& policy, const Utf8Text& text);
[[nodiscard]] PyObject* roll_simple_total(const ResourcePolicy& policy, std::int32_t count,
                                          std::int32_t sides);
[[nodiscard]] PyObject* roll_batch(const ResourcePolicy& policy, const Utf8Text& text,
                                   std::uint64_t times);
[[nodiscard]] PyObject* roll_with_modifier_list(const ResourcePolicy& policy, std::int32_t count,
                                                std::int32_t sides, const ModifierList& list);

}  // namespace kavelo::py
