// For the package's other extension modules (kavelo._odds, kavelo._trace): the fault
// type of kavelo._core, so that an internal fault raises the same InternalFault
// whichever module met it. Each module is its own shared object with its own copy of
// these (nothing here is exported).
#pragma once

#include <Python.h>

#include "python_bindings/guarded.hpp"
#include "python_bindings/py_ref.hpp"

namespace kavelo::py {

// kavelo._core.InternalFault, looked up when the module is loaded.
inline PyObject* g_core_internal_fault = nullptr;

inline void raise_core_internal_fault(const char* message) noexcept {
  PyErr_SetString(g_core_internal_fault != nullptr ? g_core_internal_fault : PyExc_SystemError,
                  message);
}

// Runs `body` with every C++ exception turned into a Python error: MemoryError for
// exhaustion, InternalFault for anything else.
template <class Body>
PyObject* guarded_companion(Body&& body) noexcept {
  return guarded_by<&raise_core_internal_fault>(static_cast<Body&&>(body));
}

// Imports kavelo._core and keeps its InternalFault; false with the error set.
inline bool load_core_internal_fault() {
  PyRef core = PyRef::steal(PyImport_ImportModule("kavelo._core"));
  if (!core) return false;
  PyRef fault = PyRef::steal(PyObject_GetAttrString(core.get(), "InternalFault"));
  if (!fault) return false;
  if (g_core_internal_fault == nullptr) g_core_internal_fault = fault.release();
  return true;
}

}  // namespace kavelo::py
