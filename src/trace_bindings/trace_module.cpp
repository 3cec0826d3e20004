// kavelo._trace: trace(expression, limits, face, derived) and replay(expression, faces,
// limits, face, derived), each returning (result, terms). The package's kavelo.trace and
// kavelo.replay wrap them in the Trace class.
//
//   result  the dictionary roll_dice returns for the same faces
//   terms   [(count, sides, modifiers, faces, values, derived), ...] in evaluation
//           order, where faces is a tuple of `face` records (value, die, origin, fate,
//           by, into) in draw order, derived a tuple of `derived` records (value, kind,
//           made_by, die, fate, by, into) in the order made, and values the term's
//           groups as in the result's rolls. `by` is the deciding modifier's text (None
//           for a kept value), `into` the index in the term's derived values of the one
//           the value went into (None when it went into none).
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
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
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

namespace kavelo::trace {

namespace {

using py::PyRef;

template <class Body>
PyObject* guarded(Body&& body) noexcept {
  return py::guarded_companion(static_cast<Body&&>(body));
}

// The names of the origins, fates and derived kinds, created once.
PyObject* g_origin_names[3] = {};
PyObject* g_fate_names[7] = {};
PyObject* g_kind_names[2] = {};

bool intern_all(PyObject** names, const char* const* texts, int n) {
  for (int i = 0; i < n; ++i) {
    if (names[i] == nullptr) names[i] = PyUnicode_InternFromString(texts[i]);
    if (names[i] == nullptr) return false;
  }
  return true;
}

bool create_names() {
  static const char* const origins[] = {"roll", "explode", "reroll"};
  static const char* const fates[] = {"kept",  "dropped", "rerolled", "duplicate",
                                      "added", "counted", "uncounted"};
  static const char* const kinds[] = {"sum", "count"};
  return intern_all(g_origin_names, origins, 3) && intern_all(g_fate_names, fates, 7) &&
         intern_all(g_kind_names, kinds, 2);
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

// The classes of the records; both tuple subclasses, checked by the entry functions.
// `untrack` when neither has a __dict__: the records then hold nothing but ints, texts
// and None, cannot be part of a reference cycle, and are kept out of the collector,
// which would otherwise walk every face of a large trace again and again.
struct RecordClasses {
  PyTypeObject* face = nullptr;
  PyTypeObject* derived = nullptr;
  bool untrack = false;
};

bool record_classes_of(PyObject* face, PyObject* derived, RecordClasses& out) {
  out.untrack = true;
  for (PyObject* type : {face, derived}) {
    if (!PyType_Check(type) ||
        PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type), &PyTuple_Type) == 0) {
      PyErr_SetString(PyExc_TypeError, "the record classes must be tuple subclasses");
      return false;
    }
    PyRef offset = PyRef::steal(PyObject_GetAttrString(type, "__dictoffset__"));
    if (!offset) return false;
    const long dict_offset = PyLong_AsLong(offset.get());
    if (dict_offset == -1 && PyErr_Occurred()) return false;
    if (dict_offset != 0) out.untrack = false;
  }
  out.face = reinterpret_cast<PyTypeObject*>(face);
  out.derived = reinterpret_cast<PyTypeObject*>(derived);
  return true;
}

// A new instance of the tuple subclass `type` holding `items` (all stolen, none null),
// made the way tuple.__new__ makes one, without a call into Python.
template <std::size_t N>
PyObject* make_record(PyTypeObject* type, PyObject* const (&items)[N], bool untrack) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* record = alloc != nullptr ? alloc(type, static_cast<Py_ssize_t>(N)) : nullptr;
  if (record == nullptr) {
    for (PyObject* item : items) Py_DECREF(item);
    if (!PyErr_Occurred()) PyErr_NoMemory();
    return nullptr;
  }
  for (std::size_t i = 0; i < N; ++i) {
    // Stealing, and refcount 1: PyTuple_SetItem cannot fail on a fresh record.
    if (PyTuple_SetItem(record, static_cast<Py_ssize_t>(i), items[i]) < 0) {
      for (std::size_t j = i + 1; j < N; ++j) Py_DECREF(items[j]);
      Py_DECREF(record);
      return nullptr;
    }
  }
  if (untrack) PyObject_GC_UnTrack(record);
  return record;
}

// The Python objects a term's records share: the text of each deciding modifier, made
// once per distinct modifier, and the index of the die last seen (the faces of one die
// come one after another).
class SharedObjects {
 public:
  ~SharedObjects() {
    for (auto& [key, text] : texts_) Py_DECREF(text);
    Py_XDECREF(die_object_);
  }

  // A new reference to the modifier's text.
  PyObject* modifier_text(const DiceModifier& modifier) {
    const std::uint64_t key = (static_cast<std::uint64_t>(modifier.kind) << 32) |
                              static_cast<std::uint32_t>(modifier.value);
    auto found = texts_.find(key);
    if (found == texts_.end()) {
      PyObject* text = text_object(DiceCalculator::modifiers_to_string({&modifier, 1}));
      if (text == nullptr) return nullptr;
      found = texts_.emplace(key, text).first;
    }
    return Py_NewRef(found->second);
  }

  // A new reference to the die's index.
  PyObject* die(std::uint32_t die) {
    if (die_object_ == nullptr || die != die_) {
      PyObject* object = PyLong_FromUnsignedLong(die);
      if (object == nullptr) return nullptr;
      Py_XDECREF(die_object_);
      die_object_ = object;
      die_ = die;
    }
    return Py_NewRef(die_object_);
  }

 private:
  std::unordered_map<std::uint64_t, PyObject*> texts_;
  PyObject* die_object_ = nullptr;
  std::uint32_t die_ = 0;
};

// `into` as the index within the term's derived values, or None.
PyObject* into_object(std::uint32_t into, std::size_t first_derived) {
  if (into == kNoIndex) return Py_NewRef(Py_None);
  return PyLong_FromSize_t(into - first_derived);
}

PyObject* by_object(FaceFate fate, const DiceModifier& cause, SharedObjects& shared) {
  if (fate == FaceFate::Kept) return Py_NewRef(Py_None);
  return shared.modifier_text(cause);
}

// All of `objects` or none: on a null, the others are released.
template <std::size_t N>
bool all_made(PyObject* const (&objects)[N]) {
  bool made = true;
  for (PyObject* object : objects) made = made && object != nullptr;
  if (!made) {
    for (PyObject* object : objects) Py_XDECREF(object);
  }
  return made;
}

PyObject* face_record(const TracedFace& face, const TracedTerm& term, const RecordClasses& classes,
                      SharedObjects& shared) {
  PyObject* const items[] = {
      PyLong_FromUnsignedLong(face.value),
      shared.die(face.die),
      Py_NewRef(g_origin_names[static_cast<int>(face.origin)]),
      Py_NewRef(g_fate_names[static_cast<int>(face.fate)]),
      by_object(face.fate, face.cause, shared),
      into_object(face.into, term.first_derived),
  };
  if (!all_made(items)) return nullptr;
  return make_record(classes.face, items, classes.untrack);
}

PyObject* derived_record(const DerivedValue& value, const TracedTerm& term,
                         const RecordClasses& classes, SharedObjects& shared) {
  PyObject* const items[] = {
      PyLong_FromLongLong(value.value),
      Py_NewRef(g_kind_names[static_cast<int>(value.kind)]),
      shared.modifier_text(value.made_by),
      value.die == kNoIndex ? Py_NewRef(Py_None) : PyLong_FromUnsignedLong(value.die),
      Py_NewRef(g_fate_names[static_cast<int>(value.fate)]),
      by_object(value.fate, value.cause, shared),
      into_object(value.into, term.first_derived),
  };
  if (!all_made(items)) return nullptr;
  return make_record(classes.derived, items, classes.untrack);
}

// A tuple of `make(i)` for i in [first, end).
template <class Make>
PyObject* records(std::size_t first, std::size_t end, Make&& make) {
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(end - first)));
  if (!tuple) return nullptr;
  for (std::size_t i = first; i < end; ++i) {
    PyObject* record = make(i);
    if (record == nullptr) return nullptr;
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i - first), record);
  }
  return tuple.release();
}

PyObject* terms_to_list(const RollTrace& trace, const RecordClasses& classes) {
  const std::span<const TracedTerm> terms = trace.terms();
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(terms.size())));
  if (!list) return nullptr;
  for (std::size_t t = 0; t < terms.size(); ++t) {
    const TracedTerm& term = terms[t];
    SharedObjects shared;
    PyRef faces = PyRef::steal(records(term.first_face, term.end_face, [&](std::size_t i) {
      return face_record(trace.faces()[i], term, classes, shared);
    }));
    if (!faces) return nullptr;
    PyRef derived = PyRef::steal(records(term.first_derived, term.end_derived, [&](std::size_t i) {
      return derived_record(trace.derived()[i], term, classes, shared);
    }));
    if (!derived) return nullptr;
    PyRef count = PyRef::steal(PyLong_FromLong(term.count));
    PyRef sides = PyRef::steal(PyLong_FromLong(term.sides));
    PyRef modifiers =
        PyRef::steal(text_object(DiceCalculator::modifiers_to_string(term.modifiers)));
    PyRef values = PyRef::steal(groups_to_list(term.values));
    if (!count || !sides || !modifiers || !values) return nullptr;
    PyObject* entry = PyTuple_Pack(6, count.get(), sides.get(), modifiers.get(), faces.get(),
                                   values.get(), derived.get());
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

// Holds the cyclic garbage collector off while it lives, unless it was off already.
class CollectorPause {
 public:
  CollectorPause() noexcept : was_enabled_(PyGC_Disable() != 0) {}
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;
  ~CollectorPause() {
    if (was_enabled_) PyGC_Enable();
  }

 private:
  bool was_enabled_;
};

// Parses and evaluates `text` recording into `trace`; (result, terms), or null.
PyObject* run(const ResourcePolicy& policy, PyObject* expression_object, RollTrace& trace,
              const RecordClasses& classes) {
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
  // The conversion makes a few objects per face, none in a cycle and no Python code
  // runs meanwhile: the collector is held off until they are all made, so that it
  // walks them once instead of at every few hundred of them.
  CollectorPause pause;
  PyRef dict = PyRef::steal(py::dice_result_to_dict(*result));
  if (!dict) return nullptr;
  PyRef terms = PyRef::steal(terms_to_list(trace, classes));
  if (!terms) return nullptr;
  return PyTuple_Pack(2, dict.get(), terms.get());
}

PyObject* trace_function(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* expression = nullptr;
    PyObject* limits = nullptr;
    PyObject* face = nullptr;
    PyObject* derived = nullptr;
    if (!PyArg_ParseTuple(args, "OOOO:trace", &expression, &limits, &face, &derived)) {
      return nullptr;
    }
    RecordClasses classes;
    if (!record_classes_of(face, derived, classes)) return nullptr;
    ResourcePolicy policy;
    if (!policy_of(limits, policy)) return nullptr;
    RollTrace trace;
    return run(policy, expression, trace, classes);
  });
}

PyObject* replay_function(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* expression = nullptr;
    PyObject* faces_object = nullptr;
    PyObject* limits = nullptr;
    PyObject* face = nullptr;
    PyObject* derived = nullptr;
    if (!PyArg_ParseTuple(args, "OOOOO:replay", &expression, &faces_object, &limits, &face,
                          &derived)) {
      return nullptr;
    }
    RecordClasses classes;
    if (!record_classes_of(face, derived, classes)) return nullptr;
    ResourcePolicy policy;
    if (!policy_of(limits, policy)) return nullptr;
    std::vector<std::int64_t> faces;
    if (!faces_of(faces_object, policy, faces)) return nullptr;
    RollTrace trace(faces);
    return run(policy, expression, trace, classes);
  });
}

PyMethodDef methods[] = {
    {"trace", trace_function, METH_VARARGS,
     "trace(expression, limits, face, derived)\n--\n\n"
     "Rolls one expression and records every face: (result, terms). Use kavelo.trace."},
    {"replay", replay_function, METH_VARARGS,
     "replay(expression, faces, limits, face, derived)\n--\n\n"
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
  if (!py::load_core_internal_fault()) return nullptr;
  if (!py::create_result_keys() || !create_names()) return nullptr;
  return PyModule_Create2(&module_definition, 3);
}

}  // namespace
}  // namespace kavelo::trace

// NOLINTNEXTLINE(bugprone-reserved-identifier): the name the interpreter looks up.
PyMODINIT_FUNC PyInit__trace(void) {
  return kavelo::trace::guarded([] { return kavelo::trace::initialise(); });
}
