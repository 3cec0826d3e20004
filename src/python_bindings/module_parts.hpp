// Pieces that module initialisation adds, each from its own file.
#pragma once

#include <Python.h>

namespace kavelo::py {

using AddPublic = bool (*)(PyObject* module, const char* name, PyObject* value);

// roll_dice, run_program, roll_simple, in this order.
[[nodiscard]] bool add_module_functions(PyObject* module, AddPublic add_public);
// The roller class Kavelo.
[[nodiscard]] bool add_roller_class(PyObject* module, AddPublic add_public);

}  // namespace kavelo::py
