// kavelo._odds: one function, distribution(text, tolerance, max_outcomes, max_work),
// returning (pmf, failures, truncated, work). The package's kavelo.odds wraps it with
// keyword arguments, their checks and the Odds class.
//
// The computation runs without the interpreter lock: it touches no Python object, and a
// large request (up to about a second) then does not stall other threads.
#include <Python.h>

#include <exception>
#include <new>
#include <optional>
#include <string_view>

#include "odds/odds.hpp"
#include "python_bindings/guarded.hpp"
#include "python_bindings/py_ref.hpp"
#include "python_bindings/value_error.hpp"

namespace kavelo::odds {

namespace {

using py::PyRef;

// kavelo._core.InternalFault, looked up when the module is loaded.
PyObject* g_internal_fault = nullptr;

void raise_internal_fault(const char* message) noexcept {
  PyErr_SetString(g_internal_fault != nullptr ? g_internal_fault : PyExc_SystemError, message);
}

template <class Body>
PyObject* guarded(Body&& body) noexcept {
  return py::guarded_by<&raise_internal_fault>(static_cast<Body&&>(body));
}

PyObject* to_python(const OddsReport& report) {
  PyRef pmf = PyRef::steal(PyDict_New());
  if (!pmf) return nullptr;
  for (std::size_t i = 0; i < report.outcomes.size(); ++i) {
    PyRef key = PyRef::steal(PyLong_FromLongLong(report.outcomes[i]));
    PyRef value = PyRef::steal(PyFloat_FromDouble(report.probabilities[i]));
    if (!key || !value || PyDict_SetItem(pmf.get(), key.get(), value.get()) < 0) return nullptr;
  }
  PyRef failures = PyRef::steal(PyDict_New());
  if (!failures) return nullptr;
  for (int k = 0; k < kFailureKinds; ++k) {
    if (report.failures[k] == 0.0) continue;
    const std::string_view name = failure_key(static_cast<Failure>(k));
    PyRef key = PyRef::steal(
        PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "strict"));
    PyRef value = PyRef::steal(PyFloat_FromDouble(report.failures[k]));
    if (!key || !value || PyDict_SetItem(failures.get(), key.get(), value.get()) < 0)
      return nullptr;
  }
  PyRef truncated = PyRef::steal(PyFloat_FromDouble(report.truncated));
  PyRef work = PyRef::steal(PyLong_FromUnsignedLongLong(report.work));
  if (!truncated || !work) return nullptr;
  return PyTuple_Pack(4, pmf.get(), failures.get(), truncated.get(), work.get());
}

PyObject* distribution(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* text_object = nullptr;
    OddsLimits limits;
    unsigned long long max_outcomes = 0;
    unsigned long long max_work = 0;
    if (!PyArg_ParseTuple(args, "UdKK:distribution", &text_object, &limits.tolerance, &max_outcomes,
                          &max_work)) {
      return nullptr;
    }
    limits.max_outcomes = max_outcomes;
    limits.max_work = max_work;
    PyRef bytes = PyRef::steal(PyUnicode_AsUTF8String(text_object));
    if (!bytes) return nullptr;
    char* data = PyBytes_AsString(bytes.get());
    const Py_ssize_t size = PyBytes_Size(bytes.get());
    if (data == nullptr || size < 0) return nullptr;
    const std::string_view text(data, static_cast<std::size_t>(size));

    std::optional<OddsResult<OddsReport>> result;
    bool out_of_memory = false;
    std::string fault;
    Py_BEGIN_ALLOW_THREADS try {
      result.emplace(compute_odds(text, limits));
    } catch (const std::bad_alloc&) {
      out_of_memory = true;
    } catch (const std::exception& e) {
      fault = e.what();
      if (fault.empty()) fault = "internal fault";
    } catch (...) {
      fault = "unknown internal fault";
    }
    Py_END_ALLOW_THREADS if (out_of_memory) return PyErr_NoMemory();
    if (!fault.empty()) {
      raise_internal_fault(fault.c_str());
      return nullptr;
    }
    if (!*result) {
      py::raise_value_error((*result).error().text);
      return nullptr;
    }
    return to_python(**result);
  });
}

PyMethodDef methods[] = {
    {"distribution", distribution, METH_VARARGS,
     "distribution(text, tolerance, max_outcomes, max_work)\n--\n\n"
     "The odds of one expression: (pmf, failures, truncated, work). Use kavelo.odds."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_odds",
    "The odds of dice expressions (see kavelo.odds).",
    0,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* initialise() {
  PyRef core = PyRef::steal(PyImport_ImportModule("kavelo._core"));
  if (!core) return nullptr;
  PyRef fault = PyRef::steal(PyObject_GetAttrString(core.get(), "InternalFault"));
  if (!fault) return nullptr;
  if (g_internal_fault == nullptr) g_internal_fault = fault.release();
  return PyModule_Create2(&module_definition, 3);
}

}  // namespace
}  // namespace kavelo::odds

// NOLINTNEXTLINE(bugprone-reserved-identifier): the name the interpreter looks up.
PyMODINIT_FUNC PyInit__odds(void) {
  return kavelo::odds::guarded([] { return kavelo::odds::initialise(); });
}
