// kavelo._odds: one function, distribution(expression, tolerance, max_outcomes, max_work),
// returning (pmf, failures, truncated, work). It checks its arguments itself; the
// package's kavelo.odds wraps it with keyword arguments and the Odds class.
//
// The computation runs without the interpreter lock: it touches no Python object, and a
// large request (up to about a second) then does not stall other threads.
#include <Python.h>

#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "errors/dice_error.hpp"
#include "odds/odds.hpp"
#include "python_bindings/binding.hpp"
#include "python_bindings/core_fault.hpp"
#include "python_bindings/guarded.hpp"
#include "python_bindings/py_ref.hpp"
#include "python_bindings/value_error.hpp"
#include "resource/resource_policy.hpp"

namespace kavelo::odds {

namespace {

using py::PyRef;

template <class Body>
PyObject* guarded(Body&& body) noexcept {
  return py::guarded_companion(static_cast<Body&&>(body));
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

// An int the odds refuse, as their message shows it: its digits when it fits in 64 bits,
// else which way it leaves them. Read through the C API alone, so that a subclass's
// methods play no part.
std::string int_text(PyObject* value) {
  int overflow = 0;
  const long long small = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (small == -1 && PyErr_Occurred()) PyErr_Clear();
  if (overflow == 0) return std::to_string(small);
  if (overflow < 0) return "an integer below -9223372036854775808";
  const unsigned long long large = PyLong_AsUnsignedLongLong(value);
  if (large == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    return "an integer above 18446744073709551615";
  }
  return std::to_string(large);
}

void raise_odds_error(const OddsError& error) { py::raise_value_error(error.text); }

// The tolerance: a float (or a subclass), or an int, never a bool. An int is never
// strictly between 0 and 1, and one too large for a double is refused by its digits
// instead of by the OverflowError of converting it.
bool convert_tolerance(PyObject* object, double& out) {
  if (PyFloat_Check(object)) {
    out = PyFloat_AsDouble(object);
    return !(out == -1.0 && PyErr_Occurred());
  }
  if (PyLong_Check(object) && !PyBool_Check(object)) {
    raise_odds_error(invalid_tolerance(int_text(object)));
    return false;
  }
  PyRef type_name = PyRef::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__"));
  if (!type_name) return false;
  PyErr_Format(PyExc_TypeError, "argument 'tolerance': must be a real number, not '%S'",
               type_name.get());
  return false;
}

// A count limit: an int (not a bool) from 1 to 2**64 - 1.
bool convert_count(PyObject* object, const char* name, std::uint64_t& out) {
  if (!PyLong_Check(object) || PyBool_Check(object)) {
    PyRef type_name = PyRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__"));
    if (!type_name) return false;
    PyErr_Format(PyExc_TypeError, "argument '%s': '%S' object cannot be interpreted as an integer",
                 name, type_name.get());
    return false;
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(object);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    // Negative, or beyond 64 bits.
    PyErr_Clear();
    raise_odds_error(invalid_count(name, int_text(object)));
    return false;
  }
  out = value;
  return true;
}

// distribution(expression, tolerance, max_outcomes, max_work). Every argument is checked
// here, whoever calls: a tolerance that is not strictly between 0 and 1 would leave the
// explosions without an end, and the computation runs without the interpreter lock, where
// Ctrl-C cannot stop it.
PyObject* distribution(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* text_object = nullptr;
    PyObject* tolerance_object = nullptr;
    PyObject* max_outcomes_object = nullptr;
    PyObject* max_work_object = nullptr;
    if (!PyArg_UnpackTuple(args, "distribution", 4, 4, &text_object, &tolerance_object,
                           &max_outcomes_object, &max_work_object)) {
      return nullptr;
    }
    if (!PyUnicode_Check(text_object)) {
      py::raise_type_mismatch(text_object, "PyString");
      py::prefix_argument_error("expression");
      return nullptr;
    }
    OddsLimits limits;
    if (!convert_tolerance(tolerance_object, limits.tolerance) ||
        !convert_count(max_outcomes_object, "max_outcomes", limits.max_outcomes) ||
        !convert_count(max_work_object, "max_work", limits.max_work)) {
      return nullptr;
    }
    if (auto checked = check_limits(limits); !checked) {
      raise_odds_error(checked.error());
      return nullptr;
    }
    // The roller's front end reads the text under the default policy: a text longer than
    // its source_bytes is measured, not encoded, and refused as a roll refuses it.
    const ResourcePolicy policy;
    const std::uint64_t byte_limit = policy.limit(Resource::SourceBytes);
    py::Utf8Text source;
    if (!py::convert_source_text(text_object, "expression", byte_limit, source)) return nullptr;
    if (source.refused_length) {
      py::raise_value_error(DiceError::budget_exceeded(name_of(Resource::SourceBytes), 0,
                                                       *source.refused_length, byte_limit)
                                .display());
      return nullptr;
    }
    const std::string_view text = source.text;

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
      py::raise_core_internal_fault(fault.c_str());
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
     "distribution(expression, tolerance, max_outcomes, max_work)\n--\n\n"
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
  if (!py::load_core_internal_fault()) return nullptr;
  return PyModule_Create2(&module_definition, 3);
}

}  // namespace
}  // namespace kavelo::odds

// NOLINTNEXTLINE(bugprone-reserved-identifier): the name the interpreter looks up.
PyMODINIT_FUNC PyInit__odds(void) {
  return kavelo::odds::guarded([] { return kavelo::odds::initialise(); });
}
