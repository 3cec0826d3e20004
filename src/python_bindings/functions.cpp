// The module functions roll_dice, run_program and roll_simple (default policy).
#include "python_bindings/binding.hpp"
#include "python_bindings/module_parts.hpp"
#include "python_bindings/requests.hpp"

namespace kavelo::py {

namespace {

// The module functions always run under the defaults.
const ResourcePolicy kDefaultPolicy;

std::uint64_t source_limit() noexcept { return kDefaultPolicy.limit(Resource::SourceBytes); }

PyObject* roll_dice(PyObject*, PyObject* const* args, Py_ssize_t given, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const parameters[] = {"expression"};
    static const Signature signature{"roll_dice", nullptr, parameters, 1, 1};
    PyObject* bound[1];
    Utf8Text expression;
    if (!bind_arguments(signature, args, given, kwnames, bound) ||
        !convert_source_text(bound[0], "expression", source_limit(), expression)) {
      return nullptr;
    }
    return roll_expression(kDefaultPolicy, expression);
  });
}

PyObject* run_program(PyObject*, PyObject* const* args, Py_ssize_t given, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const parameters[] = {"program"};
    static const Signature signature{"run_program", nullptr, parameters, 1, 1};
    PyObject* bound[1];
    Utf8Text program;
    if (!bind_arguments(signature, args, given, kwnames, bound) ||
        !convert_source_text(bound[0], "program", source_limit(), program)) {
      return nullptr;
    }
    return run_program_text(kDefaultPolicy, program);
  });
}

PyObject* roll_simple(PyObject*, PyObject* const* args, Py_ssize_t given, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const parameters[] = {"dice_count", "dice_sides"};
    static const Signature signature{"roll_simple", nullptr, parameters, 2, 2};
    PyObject* bound[2];
    std::int32_t count = 0;
    std::int32_t sides = 0;
    if (!bind_arguments(signature, args, given, kwnames, bound) ||
        !convert_int32(bound[0], "dice_count", count) ||
        !convert_int32(bound[1], "dice_sides", sides)) {
      return nullptr;
    }
    return roll_simple_total(kDefaultPolicy, count, sides);
  });
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
