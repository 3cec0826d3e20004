// The requests behind the module functions and the roller methods: parse, evaluate
// on a fresh calculator, convert. Each returns a new object, or null with an exception.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "resource/resource_policy.hpp"
#include "types/expression.hpp"

namespace kavelo::py {

[[nodiscard]] PyObject* roll_expression(const ResourcePolicy& policy, std::string_view text);
[[nodiscard]] PyObject* run_program_text(const ResourcePolicy& policy, std::string_view text);
[[nodiscard]] PyObject* roll_simple_total(const ResourcePolicy& policy, std::int32_t count,
                                          std::int32_t sides);
[[nodiscard]] PyObject* roll_batch(const ResourcePolicy& policy, std::string_view text,
                                   std::uint64_t times);
[[nodiscard]] PyObject* roll_with_modifier_strings(const ResourcePolicy& policy,
                                                   std::int32_t count, std::int32_t sides,
                                                   std::span<const std::string> modifiers);

}  // namespace kavelo::py
