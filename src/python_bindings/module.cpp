// Module initialisation: the one exported symbol.
#include <Python.h>

#include <atomic>

#include "python_bindings/binding.hpp"
#include "python_bindings/module_parts.hpp"
#include "python_bindings/policy_type.hpp"
#include "python_bindings/result_conversion.hpp"

// The build defines the version from the file VERSION at the root of the checkout.
#ifndef KAVELO_VERSION
#error "KAVELO_VERSION is defined by CMakeLists.txt"
#endif

namespace kavelo::py {

namespace {

std::atomic<bool> g_initialised{false};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_core",
    "",
    0,  // no per-module state
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Appends `name` to the module's __all__ (creating the list on first use), then sets
// the attribute.
bool add_public(PyObject* module, const char* name, PyObject* value) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  PyRef text = PyRef::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
  return PyObject_SetAttrString(module, name, value) == 0;
}

PyObject* initialise() {
  if (g_initialised.exchange(true)) {
    raise_error_row(PyExc_ImportError, ErrorId::ModuleInitializedTwice);
    return nullptr;
  }
  PyRef module = PyRef::steal(PyModule_Create2(&module_definition, 3));
  if (!module) return nullptr;

  PyRef version = PyRef::steal(PyUnicode_FromString(KAVELO_VERSION));
  if (!version || !add_public(module.get(), "__version__", version.get())) return nullptr;

  if (!create_result_keys() || !add_module_functions(module.get(), add_public)) return nullptr;

  PyObject* policy_type = resource_policy_type();
  if (policy_type == nullptr || !add_public(module.get(), "ResourcePolicy", policy_type)) {
    return nullptr;
  }
  if (!add_roller_class(module.get(), add_public)) return nullptr;

  // The fault type is reachable for callers who want to catch it, but is not public API.
  if (!create_internal_fault_type() ||
      PyObject_SetAttrString(module.get(), "InternalFault", internal_fault_type()) < 0) {
    return nullptr;
  }
  return module.release();
}

}  // namespace
}  // namespace kavelo::py

// NOLINTNEXTLINE(bugprone-reserved-identifier): the name the interpreter looks up.
PyMODINIT_FUNC PyInit__core(void) {
  return kavelo::py::guarded([] { return kavelo::py::initialise(); });
}
