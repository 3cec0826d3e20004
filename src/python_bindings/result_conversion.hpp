// Result records to new Python objects.
#pragma once

#include <Python.h>

#include <span>

#include "calculator/quick_roll.hpp"
#include "types/dice_result.hpp"

namespace kavelo::py {

// Creates the interned key strings once; false with an exception set on failure.
[[nodiscard]] bool create_result_keys() noexcept;

// {"expression", "total", "rolls", "details", "comment"}; null with an exception set.
[[nodiscard]] PyObject* dice_result_to_dict(const DiceResult& result);
// The same dict for a request the quick path finished.
[[nodiscard]] PyObject* quick_roll_to_dict(const QuickRoll& roll);
// {"results": [...], "comment": str}
[[nodiscard]] PyObject* program_result_to_object(const ProgramResult& result);
// [dict, ...]
[[nodiscard]] PyObject* dice_results_to_list(std::span<const DiceResult> results);
// {"total", "rolls", "details"}
[[nodiscard]] PyObject* modifier_roll_to_dict(const DiceResult& result);

}  // namespace kavelo::py
