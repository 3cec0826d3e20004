// kavelo._trace: trace(expression, limits) and replay(expression, faces, limits), each
// returning (result, terms). The package's kavelo.trace and kavelo.replay wrap them in
// the Trace class.
//
//   result  the dictionary roll_dice returns for the same faces
//   terms   [(count, sides, modifiers, faces, values), ...] in evaluation order, where
//           faces is [(value, die, origin, fate, cause), ...] in draw order (cause is
//           the deciding modifier's text, or None for a kept face) and values the
//           term's groups as in the result's rolls
//
// `limits` is None (the defaults) or the dict of ResourcePolicy.limits().
//
// The module also lends the package the error table (error_rows, match_error; see
// python_bindings/error_rows.hpp), which kavelo.errors reads.
#include <Python.h>

#include <cstdint>
#include <exception>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "calculator/dice_calculator.hpp"
#include "calculator/roll_trace.hpp"
#include "parser/dice_parser.hpp"
#include "python_bindings/binding.hpp"
#include "python_bindings/error_rows.hpp"
#include "python_bindings/guarded.hpp"
#include "python_bindings/py_ref.hpp"
#include "python_bindings/result_conversion.hpp"
#include "resource/resource_spec.hpp"

namespace kavelo::trace {

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

// The names of the origins and fates, created once.
PyObject* g_origin_names[3] = {};
PyObject* g_fate_names[7] = {};

bool create_names() {
  static const char* const origins[] = {"roll", "explode", "reroll"};
  static const char* const fates[] = {"kept",  "dropped", "rerolled", "duplicate",
                                      "added", "counted", "uncounted"};
  for (int i = 0; i < 3; ++i) {
    if (g_origin_names[i] == nullptr) g_origin_names[i] = PyUnicode_InternFromString(origins[i]);
    if (g_origin_names[i] == nullptr) return false;
  }
  for (int i = 0; i < 7; ++i) {
    if (g_fate_names[i] == nullptr) g_fate_names[i] = PyUnicode_InternFromString(fates[i]);
    if (g_fate_names[i] == nullptr) return false;
  }
  return true;
}

PyObject* text_object(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

// The policy of a limits dict (None: the defaults); false with an exception set.
bool policy_of(PyObject* limits, ResourcePolicy& out) {
  out = ResourcePolicy();
  if (limits == Py_None) return true;
  if (!PyDict_Check(limits)) {
    py::raise_error_row(PyExc_TypeError, ErrorId::ArgumentLimitsDict);
    return false;
  }
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(limits, &position, &key, &value)) {
    py::Utf8Text name;
    std::uint64_t limit = 0;
    if (!py::convert_text(key, "limits", name) || !py::convert_uint64(value, "limits", limit)) {
      return false;
    }
    auto changed = out.with_limit(name.text, limit);
    if (!changed) {
      py::raise_dice_error(changed.error());
      return false;
    }
    out = *changed;
  }
  return true;
}

PyObject* groups_to_list(const RollGroups& groups) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(groups.group_count())));
  if (!list) return nullptr;
  for (std::size_t g = 0; g < groups.group_count(); ++g) {
    const std::span<const std::int64_t> group = groups.group(g);
    PyRef values = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(group.size())));
    if (!values) return nullptr;
    for (std::size_t i = 0; i < group.size(); ++i) {
      PyObject* value = PyLong_FromLongLong(group[i]);
      if (value == nullptr) return nullptr;
      PyList_SetItem(values.get(), static_cast<Py_ssize_t>(i), value);
    }
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(g), values.release());
  }
  return list.release();
}

PyObject* face_to_tuple(const TracedFace& face) {
  PyRef value = PyRef::steal(PyLong_FromUnsignedLong(face.value));
  PyRef die = PyRef::steal(PyLong_FromUnsignedLongLong(face.die));
  if (!value || !die) return nullptr;
  PyRef cause;
  if (face.fate == FaceFate::Kept) {
    cause = PyRef::borrow(Py_None);
  } else {
    cause = PyRef::steal(text_object(DiceCalculator::modifiers_to_string({&face.cause, 1})));
    if (!cause) return nullptr;
  }
  return PyTuple_Pack(5, value.get(), die.get(), g_origin_names[static_cast<int>(face.origin)],
                      g_fate_names[static_cast<int>(face.fate)], cause.get());
}

PyObject* terms_to_list(const RollTrace& trace) {
  const std::span<const TracedTerm> terms = trace.terms();
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(terms.size())));
  if (!list) return nullptr;
  for (std::size_t t = 0; t < terms.size(); ++t) {
    const TracedTerm& term = terms[t];
    PyRef faces =
        PyRef::steal(PyList_New(static_cast<Py_ssize_t>(term.end_face - term.first_face)));
    if (!faces) return nullptr;
    for (std::size_t i = term.first_face; i < term.end_face; ++i) {
      PyObject* face = face_to_tuple(trace.faces()[i]);
      if (face == nullptr) return nullptr;
      PyList_SetItem(faces.get(), static_cast<Py_ssize_t>(i - term.first_face), face);
    }
    PyRef count = PyRef::steal(PyLong_FromLong(term.count));
    PyRef sides = PyRef::steal(PyLong_FromLong(term.sides));
    PyRef modifiers =
        PyRef::steal(text_object(DiceCalculator::modifiers_to_string(term.modifiers)));
    PyRef values = PyRef::steal(groups_to_list(term.values));
    if (!count || !sides || !modifiers || !values) return nullptr;
    PyObject* entry =
        PyTuple_Pack(5, count.get(), sides.get(), modifiers.get(), faces.get(), values.get());
    if (entry == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(t), entry);
  }
  return list.release();
}

// The faces of a replay, from a list or tuple of ints. The length is compared with the
// most faces the policy lets one request draw (every face charges one generated value)
// before any item is read.
bool faces_of(PyObject* object, const ResourcePolicy& policy, std::vector<std::int64_t>& out) {
  const bool is_list = PyList_Check(object);
  if (!is_list && !PyTuple_Check(object)) {
    py::raise_argument_mismatch(object, "faces", "list of faces");
    return false;
  }
  const Py_ssize_t size = is_list ? PyList_Size(object) : PyTuple_Size(object);
  if (size < 0) return false;
  const std::uint64_t most = policy.limit(Resource::GeneratedValues);
  if (static_cast<std::uint64_t>(size) > most) {
    py::raise_dice_error(DiceError::of(
        ErrorId::ReplayTooMany, {.requested = static_cast<std::uint64_t>(size), .limit = most}));
    return false;
  }
  out.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* item = is_list ? PyList_GetItem(object, i) : PyTuple_GetItem(object, i);
    if (item == nullptr) return false;
    if (!PyLong_Check(item) || PyBool_Check(item)) {
      PyRef type_name = PyRef::steal(
          PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(item)), "__name__"));
      PyRef index = py::decimal_str(i + 1);
      if (!type_name || !index) return false;
      py::raise_error_row(PyExc_ValueError, ErrorId::ReplayNotAnInt,
                          {{"index", index.get()}, {"type", type_name.get()}});
      return false;
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(item, &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || value < 1 || value > INT32_MAX) {
      const auto index = static_cast<std::uint64_t>(i + 1);
      py::raise_dice_error(overflow != 0 ? DiceError::of(ErrorId::ReplayTooLarge, {.used = index})
                                         : DiceError::of(ErrorId::ReplayNotAFace,
                                                         {.used = index, .exponent = value}));
      return false;
    }
    out.push_back(value);
  }
  return true;
}

// Parses and evaluates `text` recording into `trace`; (result, terms), or null.
PyObject* run(const ResourcePolicy& policy, PyObject* expression_object, RollTrace& trace) {
  py::Utf8Text text;
  if (!py::convert_source_text(expression_object, "expression", policy.limit(Resource::SourceBytes),
                               text)) {
    return nullptr;
  }
  if (text.refused_length) {
    py::raise_dice_error(DiceError::budget_exceeded(name_of(Resource::SourceBytes), 0,
                                                    *text.refused_length,
                                                    policy.limit(Resource::SourceBytes)));
    return nullptr;
  }
  auto expression = DiceParser::parse_expression_with_policy(text.text, policy);
  if (!expression) {
    py::raise_dice_error(expression.error());
    return nullptr;
  }
  DiceCalculator calculator(policy);
  auto result = calculator.trace_expression(*expression, trace);
  if (!result) {
    py::raise_dice_error(result.error());  // a replay's fault included
    return nullptr;
  }
  PyRef dict = PyRef::steal(py::dice_result_to_dict(*result));
  if (!dict) return nullptr;
  PyRef terms = PyRef::steal(terms_to_list(trace));
  if (!terms) return nullptr;
  return PyTuple_Pack(2, dict.get(), terms.get());
}

PyObject* trace_function(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* expression = nullptr;
    PyObject* limits = nullptr;
    if (!PyArg_ParseTuple(args, "OO:trace", &expression, &limits)) return nullptr;
    ResourcePolicy policy;
    if (!policy_of(limits, policy)) return nullptr;
    RollTrace trace;
    return run(policy, expression, trace);
  });
}

PyObject* replay_function(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* expression = nullptr;
    PyObject* faces_object = nullptr;
    PyObject* limits = nullptr;
    if (!PyArg_ParseTuple(args, "OOO:replay", &expression, &faces_object, &limits)) {
      return nullptr;
    }
    ResourcePolicy policy;
    if (!policy_of(limits, policy)) return nullptr;
    std::vector<std::int64_t> faces;
    if (!faces_of(faces_object, policy, faces)) return nullptr;
    RollTrace trace(faces);
    return run(policy, expression, trace);
  });
}

PyMethodDef methods[] = {
    {"trace", trace_function, METH_VARARGS,
     "trace(expression, limits)\n--\n\n"
     "Rolls one expression and records every face: (result, terms). Use kavelo.trace."},
    {"replay", replay_function, METH_VARARGS,
     "replay(expression, faces, limits)\n--\n\n"
     "Evaluates one expression with the given faces: (result, terms). Use kavelo.replay."},
    {"error_rows", py::error_rows, METH_NOARGS,
     "error_rows()\n--\n\nEvery row of the error table. Use kavelo.errors."},
    {"match_error", py::match_error, METH_VARARGS,
     "match_error(text, exception)\n--\n\nThe row of an error's text. Use kavelo.errors."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_trace",
    "Traced and replayed rolls (see kavelo.trace).",
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
  if (!py::create_result_keys() || !create_names()) return nullptr;
  return PyModule_Create2(&module_definition, 3);
}

}  // namespace
}  // namespace kavelo::trace

// NOLINTNEXTLINE(bugprone-reserved-identifier): the name the interpreter looks up.
PyMODINIT_FUNC PyInit__trace(void) {
  return kavelo::trace::guarded([] { return kavelo::trace::initialise(); });
}
