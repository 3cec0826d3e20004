// kavelo_floor, a module for measurement only: the part of a roll_dice call that is
// the interpreter's own. Its roll(expression) binds and reads its argument through
// roll_dice's own entry and returns, through roll_dice's own conversion, a result
// made once by prepare(expression): it parses and rolls nothing. A roll_dice call's
// instructions minus this call's are what parsing and evaluation cost.
#include <Python.h>

#include <optional>

#include "calculator/dice_calculator.hpp"
#include "parser/dice_parser.hpp"
#include "python_bindings/binding.hpp"
#include "python_bindings/entry_points.hpp"
#include "python_bindings/result_conversion.hpp"

namespace kavelo::floor {

namespace {

std::optional<DiceResult> g_prepared;

PyObject* prepare_result(const ResourcePolicy& policy, const py::Utf8Text& text) {
  auto expression = DiceParser::parse_expression_with_policy(text.text, policy);
  if (!expression) {
    PyErr_SetString(PyExc_ValueError, "the expression does not parse");
    return nullptr;
  }
  DiceCalculator calculator(policy);
  auto result = calculator.evaluate_expression(*expression);
  if (!result) {
    PyErr_SetString(PyExc_ValueError, "the expression does not evaluate");
    return nullptr;
  }
  g_prepared = std::move(*result);
  return py::dice_result_to_dict(*g_prepared);
}

PyObject* prepared_result(const ResourcePolicy& /*policy*/, const py::Utf8Text& /*text*/) {
  if (!g_prepared) {
    PyErr_SetString(PyExc_RuntimeError, "call prepare(expression) first");
    return nullptr;
  }
  return py::dice_result_to_dict(*g_prepared);
}

const char* const kExpression[] = {"expression"};

PyObject* prepare(PyObject* module, PyObject* const* args, Py_ssize_t given, PyObject* kwnames) {
  static const py::Signature signature{"prepare", nullptr, kExpression, 1, 1};
  return py::text_entry<py::DefaultPolicy, prepare_result>(signature, module, args, given, kwnames);
}

PyObject* roll(PyObject* module, PyObject* const* args, Py_ssize_t given, PyObject* kwnames) {
  static const py::Signature signature{"roll", nullptr, kExpression, 1, 1};
  return py::text_entry<py::DefaultPolicy, prepared_result>(signature, module, args, given,
                                                            kwnames);
}

PyMethodDef methods[] = {
    {"prepare", py::as_cfunction(prepare), METH_FASTCALL | METH_KEYWORDS,
     "prepare(expression)\n--\n\nRolls the expression once and keeps its result."},
    {"roll", py::as_cfunction(roll), METH_FASTCALL | METH_KEYWORDS,
     "roll(expression)\n--\n\nThe kept result, converted as roll_dice converts its own."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "kavelo_floor", nullptr, 0, methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace kavelo::floor

// NOLINTNEXTLINE(bugprone-reserved-identifier): the name the interpreter looks up.
PyMODINIT_FUNC PyInit_kavelo_floor(void) {
  if (!kavelo::py::create_result_keys()) return nullptr;
  return PyModule_Create2(&kavelo::floor::module_definition, 3);
}
