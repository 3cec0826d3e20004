// The module functions roll_dice, run_program and roll_simple (default policy).
#include "python_bindings/binding.hpp"
#include "python_bindings/entry_points.hpp"
#include "python_bindings/module_parts.hpp"
#include "python_bindings/requests.hpp"

namespace kavelo::py {

namespace {

const char* const kExpression[] = {"expression"};
const char* const kProgram[] = {"program"};
const char* const kCountAndSides[] = {"dice_count", "dice_sides"};

PyObject* roll_dice(PyObject* module, PyObject* const* args, Py_ssize_t given, PyObject* kwnames) {
  static const Signature signature{"roll_dice", nullptr, kExpression, 1, 1};
  return text_entry<DefaultPolicy, roll_expression>(signature, module, args, given, kwnames);
}

PyObject* run_program(PyObject* module, PyObject* const* args, Py_ssize_t given,
                      PyObject* kwnames) {
  static const Signature signature{"run_program", nullptr, kProgram, 1, 1};
  return text_entry<DefaultPolicy, run_program_text>(signature, module, args, given, kwnames);
}

PyObject* roll_simple(PyObject* module, PyObject* const* args, Py_ssize_t given,
                      PyObject* kwnames) {
  static const Signature signature{"roll_simple", nullptr, kCountAndSides, 2, 2};
  return simple_entry<DefaultPolicy>(signature, module, args, given, kwnames);
}

PyMethodDef function_definitions[] = {
    {"roll_dice", as_cfunction(roll_dice), METH_FASTCALL | METH_KEYWORDS,
     "roll_dice(expression)\n--\n\n"},
    {"run_program", as_cfunction(run_program), METH_FASTCALL | METH_KEYWORDS,
     "run_program(program)\n--\n\n"},
    {"roll_simple", as_cfunction(roll_simple), METH_FASTCALL | METH_KEYWORDS,
     "roll_simple(dice_count, dice_sides)\n--\n\n"},
};

}  // namespace

bool add_module_functions(PyObject* module, AddPublic add_public) {
  const char* name = PyModule_GetName(module);
  if (name == nullptr) return false;
  PyRef module_name = PyRef::steal(PyUnicode_FromString(name));
  if (!module_name) return false;
  for (PyMethodDef& definition : function_definitions) {
    PyRef function = PyRef::steal(PyCMethod_New(&definition, module, module_name.get(), nullptr));
    if (!function || !add_public(module, definition.ml_name, function.get())) return false;
  }
  return true;
}

}  // namespace kavelo::py
