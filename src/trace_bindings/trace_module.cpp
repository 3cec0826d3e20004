// kavelo._trace: trace(expression, limits, face, derived) and replay(expression, faces,
// limits, face, derived), each returning (result, terms). The package's kavelo.trace and
// kavelo.replay wrap them in the Trace class.
//
//   result  the dictionary roll_dice returns for the same faces
//   terms   [(count, sides, modifiers, records, index), ...] in evaluation order, where
//           records.values(index) makes the term's groups (as in the result's rolls)
//           and records.term(index) its (faces, derived), when asked for:
//           faces a tuple of `face` records (value, die, origin, fate, by, into) in
//           draw order, derived a tuple of `derived` records (value, kind, made_by,
//           die, fate, by, into) in the order made. `by` is the deciding modifier's
//           text (None for a kept value), `into` the index in the term's derived
//           values of the one the value went into (None when it went into none).
//
// `face` and `derived` are tuple subclasses (the package's named tuples): the records
// are made as instances of them directly, without calling their constructors, so that a
// trace of many faces costs little more than the roll. `limits` is None (the defaults)
// or the dict of ResourcePolicy.limits().
//
// The module also lends the package the error table (error_rows, match_error; see
// python_bindings/error_rows.hpp), which kavelo.errors reads.
#include <Python.h>

#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "calculator/dice_calculator.hpp"
#include "calculator/roll_trace.hpp"
#include "parser/dice_parser.hpp"
#include "python_bindings/binding.hpp"
#include "python_bindings/core_fault.hpp"
#include "python_bindings/error_rows.hpp"
#include "python_bindings/guarded.hpp"
#include "python_bindings/py_ref.hpp"
#include "python_bindings/result_conversion.hpp"
#include "resource/resource_spec.hpp"
#include "trace_bindings/records.hpp"

namespace kavelo::trace {

namespace {

using py::PyRef;

template <class Body>
PyObject* guarded(Body&& body) noexcept {
  return py::guarded_companion(static_cast<Body&&>(body));
}

// The limits dict last read and its policy. The package passes the same dict for the
// same policy again and again; it is read again only when it is another dict or holds
// other objects than before (a dict can change, the ints and texts in it cannot).
class LastLimits {
 public:
  LastLimits() = default;
  LastLimits(const LastLimits&) = delete;
  LastLimits& operator=(const LastLimits&) = delete;

  [[nodiscard]] bool matches(PyObject* limits) const {
    if (limits != dict_ || PyDict_Size(limits) != static_cast<Py_ssize_t>(items_.size())) {
      return false;
    }
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    for (const auto& [held_key, held_value] : items_) {
      if (!PyDict_Next(limits, &position, &key, &value) || key != held_key || value != held_value) {
        return false;
      }
    }
    return true;
  }

  [[nodiscard]] const ResourcePolicy& policy() const noexcept { return policy_; }

  // Remembers `limits` with its policy; keeps its items alive so that their addresses
  // cannot be taken by other objects.
  void remember(PyObject* limits, const ResourcePolicy& policy) {
    forget();
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(limits, &position, &key, &value)) {
      items_.emplace_back(Py_NewRef(key), Py_NewRef(value));
    }
    dict_ = Py_NewRef(limits);
    policy_ = policy;
  }

 private:
  void forget() {
    for (auto& [key, value] : items_) {
      Py_DECREF(key);
      Py_DECREF(value);
    }
    items_.clear();
    Py_XDECREF(dict_);
    dict_ = nullptr;
  }

  PyObject* dict_ = nullptr;
  std::vector<std::pair<PyObject*, PyObject*>> items_;
  ResourcePolicy policy_;
};

// Made once and never destroyed: a destructor would release Python objects after the
// interpreter has finished.
LastLimits& last_limits() {
  static auto* const cache = new LastLimits();
  return *cache;
}

// The policy of a limits dict (None: the defaults); false with an exception set.
bool policy_of(PyObject* limits, ResourcePolicy& out) {
  out = ResourcePolicy();
  if (limits == Py_None) return true;
  if (!PyDict_Check(limits)) {
    py::raise_error_row(PyExc_TypeError, ErrorId::ArgumentLimitsDict);
    return false;
  }
  LastLimits& last = last_limits();
  if (last.matches(limits)) {
    out = last.policy();
    return true;
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
  last.remember(limits, out);
  return true;
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

// The instruction starts of a traced program, as a list of ints.
PyObject* starts_list(const RollTrace& trace) {
  const std::span<const std::size_t> starts = trace.instruction_starts();
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(starts.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < starts.size(); ++i) {
    PyObject* start = PyLong_FromSize_t(starts[i]);
    if (start == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), start);
  }
  return list.release();
}

// Parses and evaluates `source` (one expression, or a program when kProgram) recording
// into `recorded`'s trace: (result, terms), and for a program (result, terms, starts)
// where starts holds the index of each instruction's first term. Null on failure.
template <bool kProgram>
PyObject* run(const ResourcePolicy& policy, PyObject* source,
              std::unique_ptr<RecordedTrace> recorded) {
  const char* const argument = kProgram ? "program" : "expression";
  py::Utf8Text text;
  if (!py::convert_source_text(source, argument, policy.limit(Resource::SourceBytes), text)) {
    return nullptr;
  }
  if (text.refused_length) {
    py::raise_dice_error(DiceError::budget_exceeded(name_of(Resource::SourceBytes), 0,
                                                    *text.refused_length,
                                                    policy.limit(Resource::SourceBytes)));
    return nullptr;
  }
  auto parsed = [&] {
    if constexpr (kProgram) {
      return DiceParser::parse_program_with_policy(text.text, policy);
    } else {
      return DiceParser::parse_expression_with_policy(text.text, policy);
    }
  }();
  if (!parsed) {
    py::raise_dice_error(parsed.error());
    return nullptr;
  }
  DiceCalculator calculator(policy);
  PyRef result;
  {
    auto evaluated = [&] {
      if constexpr (kProgram) {
        return calculator.trace_program(*parsed, recorded->trace);
      } else {
        return calculator.trace_expression(*parsed, recorded->trace);
      }
    }();
    if (!evaluated) {
      py::raise_dice_error(evaluated.error());  // a replay's fault included
      return nullptr;
    }
    // The conversion makes a few objects per die, none in a cycle and no Python code
    // runs meanwhile: the collector is held off until they are all made, so that it
    // walks them once instead of at every few hundred of them.
    CollectorPause pause;
    if constexpr (kProgram) {
      result = PyRef::steal(py::program_result_to_object(*evaluated));
    } else {
      result = PyRef::steal(py::dice_result_to_dict(*evaluated));
    }
  }
  if (!result) return nullptr;
  const RollTrace& trace = recorded->trace;
  PyRef starts;
  if constexpr (kProgram) {
    starts = PyRef::steal(starts_list(trace));
    if (!starts) return nullptr;
  }
  PyRef records = PyRef::steal(records_object(std::move(recorded)));
  if (!records) return nullptr;
  PyRef terms = PyRef::steal(terms_to_list(trace, records.get()));
  if (!terms) return nullptr;
  if constexpr (kProgram) return PyTuple_Pack(3, result.get(), terms.get(), starts.get());
  return PyTuple_Pack(2, result.get(), terms.get());
}

// trace(expression, limits, face, derived) and trace_program(program, ...).
template <bool kProgram>
PyObject* trace_entry(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* source = nullptr;
    PyObject* limits = nullptr;
    PyObject* face = nullptr;
    PyObject* derived = nullptr;
    if (!PyArg_ParseTuple(args, kProgram ? "OOOO:trace_program" : "OOOO:trace", &source, &limits,
                          &face, &derived)) {
      return nullptr;
    }
    auto recorded = std::make_unique<RecordedTrace>();
    if (!record_classes_of(face, derived, recorded->classes)) return nullptr;
    ResourcePolicy policy;
    if (!policy_of(limits, policy)) return nullptr;
    return run<kProgram>(policy, source, std::move(recorded));
  });
}

// replay(expression, faces, limits, face, derived) and replay_program(program, ...).
template <bool kProgram>
PyObject* replay_entry(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* source = nullptr;
    PyObject* faces_object = nullptr;
    PyObject* limits = nullptr;
    PyObject* face = nullptr;
    PyObject* derived = nullptr;
    if (!PyArg_ParseTuple(args, kProgram ? "OOOOO:replay_program" : "OOOOO:replay", &source,
                          &faces_object, &limits, &face, &derived)) {
      return nullptr;
    }
    auto recorded = std::make_unique<RecordedTrace>();
    if (!record_classes_of(face, derived, recorded->classes)) return nullptr;
    ResourcePolicy policy;
    if (!policy_of(limits, policy)) return nullptr;
    if (!faces_of(faces_object, policy, recorded->replayed)) return nullptr;
    recorded->trace = RollTrace(recorded->replayed);
    return run<kProgram>(policy, source, std::move(recorded));
  });
}

PyMethodDef methods[] = {
    {"trace", trace_entry<false>, METH_VARARGS,
     "trace(expression, limits, face, derived)\n--\n\n"
     "Rolls one expression and records every face: (result, terms). Use kavelo.trace."},
    {"replay", replay_entry<false>, METH_VARARGS,
     "replay(expression, faces, limits, face, derived)\n--\n\n"
     "Evaluates one expression with the given faces: (result, terms). Use kavelo.replay."},
    {"trace_program", trace_entry<true>, METH_VARARGS,
     "trace_program(program, limits, face, derived)\n--\n\n"
     "Runs a program and records every face: (result, terms, starts). Use "
     "kavelo.trace_program."},
    {"replay_program", replay_entry<true>, METH_VARARGS,
     "replay_program(program, faces, limits, face, derived)\n--\n\n"
     "Runs a program with the given faces: (result, terms, starts). Use "
     "kavelo.replay_program."},
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
  if (!py::load_core_internal_fault()) return nullptr;
  if (!py::create_result_keys() || !create_record_types()) return nullptr;
  return PyModule_Create2(&module_definition, 3);
}

}  // namespace
}  // namespace kavelo::trace

// NOLINTNEXTLINE(bugprone-reserved-identifier): the name the interpreter looks up.
PyMODINIT_FUNC PyInit__trace(void) {
  return kavelo::trace::guarded([] { return kavelo::trace::initialise(); });
}
