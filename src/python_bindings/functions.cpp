#include "python_bindings/module_parts.hpp"

namespace kavelo::py {

bool add_module_functions(PyObject*, AddPublic) { return true; }

bool add_roller_class(PyObject*, AddPublic) { return true; }

}  // namespace kavelo::py
