// kavelo._trace: trace(expression, limits) and replay(expression, faces, limits), each
// returning a Trace, and trace_program / replay_program for programs. The package
// registers its classes once (register(Trace, Term, Face, DerivedValue)); the module
// makes their instances directly, without running their Python code:
//
//   a trace   the package's Trace: _source the text as given, result the dictionary
//             roll_dice returns for the same faces, terms a tuple of Term
//   a term    count, sides and modifiers, and the Records object and index that make
//             its groups (records.values(index), as in the result's rolls) and its
//             (faces, derived) (records.term(index)) when first read: faces a tuple of
//             Face records (value, die, origin, fate, by, into) in draw order, derived
//             a tuple of DerivedValue records (value, kind, made_by, die, fate, by,
//             into) in the order made. `by` is the deciding modifier's text (None for a
//             kept value), `into` the index in the term's derived values of the one the
//             value went into (None when it went into none).
//
// A program's call returns (result, terms, starts): the run_program result, a list of
// every instruction's terms in order and the index of each instruction's first term.
// `limits` is None (the defaults) or the dict of ResourcePolicy.limits().
//
// The module also lends the package the error table (error_rows, match_error; see
// python_bindings/error_rows.hpp), which kavelo.errors reads.
#include <Python.h>

#include <array>
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
#include "calculator/quick_roll.hpp"
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
#include "trace_bindings/trace_objects.hpp"

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

// The common rolls' own path, recording into `trace`: the result's dict when it
// finished the request (null with an exception set when making the dict failed), or
// null with `taken` false when the general path is to run, with `replay` set when it
// must use `key`. Apart, so that its buffers are off the stack before the general path
// runs.
[[gnu::noinline]] PyObject* quick_trace(const ResourcePolicy& policy, std::string_view text,
                                        RollTrace& trace, bool& taken, bool& replay,
                                        std::array<std::uint8_t, 32>& key) {
  QuickRoll quick;
  const QuickRoll::Outcome outcome = quick.run(text, policy, os_entropy(), &trace);
  taken = outcome == QuickRoll::Outcome::Done;
  if (taken) return py::quick_roll_to_dict(quick);
  replay = outcome == QuickRoll::Outcome::Replay;
  if (replay) key = quick.replayed_key();
  return nullptr;
}

// Parses and evaluates `text` recording into `trace` (cleared first), drawing from
// `entropy`: the result as roll_dice or run_program gives it, or null with an exception
// set.
template <bool kProgram>
PyObject* traced_on_general_path(const ResourcePolicy& policy, std::string_view text,
                                 RollTrace& trace, EntropySource entropy) {
  auto parsed = [&] {
    if constexpr (kProgram) {
      return DiceParser::parse_program_with_policy(text, policy);
    } else {
      return DiceParser::parse_expression_with_policy(text, policy);
    }
  }();
  if (!parsed) {
    py::raise_dice_error(parsed.error());
    return nullptr;
  }
  DiceCalculator calculator(policy, entropy);
  auto evaluated = [&] {
    if constexpr (kProgram) {
      return calculator.trace_program(*parsed, trace);
    } else {
      return calculator.trace_expression(*parsed, trace);
    }
  }();
  if (!evaluated) {
    py::raise_dice_error(evaluated.error());  // a replay's fault included
    return nullptr;
  }
  if constexpr (kProgram) {
    return py::program_result_to_object(*evaluated);
  } else {
    return py::dice_result_to_dict(*evaluated);
  }
}

// Evaluates `source` (one expression, or a program when kProgram) recording into
// `recorded`'s trace: a Trace, or for a program (result, terms, starts) where starts
// holds the index of each instruction's first term. Null on failure. A traced roll of
// one expression takes the common rolls' path first.
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
  // The result, the terms and the trace make a few objects per die, none in a cycle, and
  // no Python code runs meanwhile: the collector is held off until they are all made,
  // so that it does not walk them at every few hundred of them, nor right after the
  // result when the terms are made.
  CollectorPause pause;
  PyRef result;
  bool replay = false;
  std::array<std::uint8_t, 32> key;
  if constexpr (!kProgram) {
    if (!recorded->trace.replaying()) {
      bool taken = false;
      result = PyRef::steal(quick_trace(policy, text.text, recorded->trace, taken, replay, key));
      if (taken && !result) return nullptr;
    }
  }
  if (!result) {
    result = PyRef::steal(traced_on_general_path<kProgram>(
        policy, text.text, recorded->trace, replay ? replayed_entropy(key) : os_entropy()));
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
  PyRef terms = PyRef::steal(terms_of<kProgram>(trace, records.get()));
  if (!terms) return nullptr;
  if constexpr (kProgram) return PyTuple_Pack(3, result.get(), terms.get(), starts.get());
  return new_trace(source, result.release(), terms.release());
}

// The arguments of an entry point: exactly `expected` positional ones.
bool arguments_of(const char* name, Py_ssize_t count, Py_ssize_t expected) {
  if (count == expected) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd arguments (%zd given)", name, expected,
               count);
  return false;
}

// trace(expression, limits) and trace_program(program, limits).
template <bool kProgram>
PyObject* trace_entry(PyObject*, PyObject* const* args, Py_ssize_t count) {
  return guarded([&]() -> PyObject* {
    if (!arguments_of(kProgram ? "trace_program" : "trace", count, 2) || !classes_registered()) {
      return nullptr;
    }
    auto recorded = std::make_unique<RecordedTrace>();
    recorded->classes = record_classes();
    ResourcePolicy policy;
    if (!policy_of(args[1], policy)) return nullptr;
    return run<kProgram>(policy, args[0], std::move(recorded));
  });
}

// replay(expression, faces, limits) and replay_program(program, faces, limits).
template <bool kProgram>
PyObject* replay_entry(PyObject*, PyObject* const* args, Py_ssize_t count) {
  return guarded([&]() -> PyObject* {
    if (!arguments_of(kProgram ? "replay_program" : "replay", count, 3) || !classes_registered()) {
      return nullptr;
    }
    auto recorded = std::make_unique<RecordedTrace>();
    recorded->classes = record_classes();
    ResourcePolicy policy;
    if (!policy_of(args[2], policy)) return nullptr;
    if (!faces_of(args[1], policy, recorded->replayed)) return nullptr;
    recorded->trace = RollTrace(recorded->replayed);
    return run<kProgram>(policy, args[0], std::move(recorded));
  });
}

template <class Function>
PyCFunction fast(Function function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef methods[] = {
    {"trace", fast(trace_entry<false>), METH_FASTCALL,
     "trace(expression, limits)\n--\n\n"
     "Rolls one expression and records every face: a Trace. Use kavelo.trace."},
    {"replay", fast(replay_entry<false>), METH_FASTCALL,
     "replay(expression, faces, limits)\n--\n\n"
     "Evaluates one expression with the given faces: a Trace. Use kavelo.replay."},
    {"trace_program", fast(trace_entry<true>), METH_FASTCALL,
     "trace_program(program, limits)\n--\n\n"
     "Runs a program and records every face: (result, terms, starts). Use "
     "kavelo.trace_program."},
    {"replay_program", fast(replay_entry<true>), METH_FASTCALL,
     "replay_program(program, faces, limits)\n--\n\n"
     "Runs a program with the given faces: (result, terms, starts). Use "
     "kavelo.replay_program."},
    {"register", fast(register_classes), METH_FASTCALL,
     "register(trace, term, face, derived)\n--\n\n"
     "The package's classes, whose instances the calls make. kavelo.tracing calls it."},
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
  PyRef module = PyRef::steal(PyModule_Create2(&module_definition, 3));
  if (!module || !add_object_types(module.get())) return nullptr;
  return module.release();
}

}  // namespace
}  // namespace kavelo::trace

// NOLINTNEXTLINE(bugprone-reserved-identifier): the name the interpreter looks up.
PyMODINIT_FUNC PyInit__trace(void) {
  return kavelo::trace::guarded([] { return kavelo::trace::initialise(); });
}
