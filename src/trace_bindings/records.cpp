// The records of a trace as Python objects: Face and DerivedValue instances made
// straight from the recorded faces, and the Records object that owns a finished trace
// and makes a term's records when the package first reads them.
#include "trace_bindings/records.hpp"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "calculator/dice_calculator.hpp"
#include "python_bindings/core_fault.hpp"
#include "trace_bindings/trace_objects.hpp"

namespace kavelo::trace {

using py::PyRef;

namespace {

template <class Body>
PyObject* guarded(Body&& body) noexcept {
  return py::guarded_companion(static_cast<Body&&>(body));
}

// The names of the origins, fates and derived kinds, created once.
PyObject* g_origin_names[3] = {};
PyObject* g_fate_names[7] = {};
PyObject* g_kind_names[2] = {};
PyObject* g_empty_text = nullptr;

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
  if (g_empty_text == nullptr) g_empty_text = PyUnicode_FromStringAndSize("", 0);
  return g_empty_text != nullptr && intern_all(g_origin_names, origins, 3) &&
         intern_all(g_fate_names, fates, 7) && intern_all(g_kind_names, kinds, 2);
}

PyObject* text_object(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

// The modifiers written back (`"kh3"`); one kept empty text for a term without.
PyObject* modifiers_object(std::span<const DiceModifier> modifiers) {
  if (modifiers.empty()) return Py_NewRef(g_empty_text);
  return text_object(DiceCalculator::modifiers_to_string(modifiers));
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

// (faces, derived) of term `t`: its records, made now.
PyObject* term_records(const RollTrace& trace, std::size_t t, const RecordClasses& classes) {
  const TracedTerm& term = trace.terms()[t];
  SharedObjects shared;
  PyRef faces = PyRef::steal(records(term.first_face, term.end_face, [&](std::size_t i) {
    return face_record(trace.faces()[i], term, classes, shared);
  }));
  if (!faces) return nullptr;
  PyRef derived = PyRef::steal(records(term.first_derived, term.end_derived, [&](std::size_t i) {
    return derived_record(trace.derived()[i], term, classes, shared);
  }));
  if (!derived) return nullptr;
  return PyTuple_Pack(2, faces.get(), derived.get());
}

struct RecordsObject {
  PyObject_HEAD RecordedTrace* recorded;
};

PyTypeObject* g_records_type = nullptr;

void records_dealloc(PyObject* self) {
  auto* object = reinterpret_cast<RecordsObject*>(self);
  if (object->recorded != nullptr) {
    Py_XDECREF(reinterpret_cast<PyObject*>(object->recorded->classes.face));
    Py_XDECREF(reinterpret_cast<PyObject*>(object->recorded->classes.derived));
    delete object->recorded;
  }
  PyTypeObject* type = Py_TYPE(self);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

// The term of `index_object` in a Records object; null with IndexError when none.
const TracedTerm* term_at(PyObject* self, PyObject* index_object, std::size_t& index) {
  const RecordedTrace* recorded = reinterpret_cast<RecordsObject*>(self)->recorded;
  const Py_ssize_t at = PyLong_AsSsize_t(index_object);
  if (at == -1 && PyErr_Occurred()) return nullptr;
  if (recorded == nullptr || at < 0 ||
      static_cast<std::size_t>(at) >= recorded->trace.terms().size()) {
    PyErr_SetString(PyExc_IndexError, "no such term");
    return nullptr;
  }
  index = static_cast<std::size_t>(at);
  return &recorded->trace.terms()[index];
}

PyObject* records_term(PyObject* self, PyObject* index_object) {
  return guarded([&]() -> PyObject* {
    std::size_t index = 0;
    if (term_at(self, index_object, index) == nullptr) return nullptr;
    const RecordedTrace* recorded = reinterpret_cast<RecordsObject*>(self)->recorded;
    CollectorPause pause;
    return term_records(recorded->trace, index, recorded->classes);
  });
}

PyObject* records_values(PyObject* self, PyObject* index_object) {
  return guarded([&]() -> PyObject* {
    std::size_t index = 0;
    const TracedTerm* term = term_at(self, index_object, index);
    if (term == nullptr) return nullptr;
    CollectorPause pause;
    return groups_to_list(term->values);
  });
}

PyMethodDef records_methods[] = {
    {"term", records_term, METH_O,
     "term(index)\n--\n\nThe records of term `index`: (faces, derived)."},
    {"values", records_values, METH_O,
     "values(index)\n--\n\nThe groups of term `index`, as lists of ints."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot records_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(records_dealloc)},
    {Py_tp_methods, records_methods},
    {Py_tp_doc, const_cast<char*>("The records of a trace, made when asked for.")},
    {0, nullptr},
};

PyType_Spec records_spec = {
    "kavelo._trace.Records",
    static_cast<int>(sizeof(RecordsObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    records_slots,
};

}  // namespace

// The classes of the records, set once by register (strong references, so that the
// addresses cannot be reused by other classes).
RecordClasses g_record_classes;

bool set_record_classes(PyObject* face, PyObject* derived) {
  RecordClasses classes;
  classes.untrack = true;
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
    if (dict_offset != 0) classes.untrack = false;
  }
  classes.face = reinterpret_cast<PyTypeObject*>(Py_NewRef(face));
  classes.derived = reinterpret_cast<PyTypeObject*>(Py_NewRef(derived));
  Py_XDECREF(reinterpret_cast<PyObject*>(g_record_classes.face));
  Py_XDECREF(reinterpret_cast<PyObject*>(g_record_classes.derived));
  g_record_classes = classes;
  return true;
}

const RecordClasses& record_classes() noexcept { return g_record_classes; }

PyObject* records_object(std::unique_ptr<RecordedTrace> recorded) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(g_records_type, Py_tp_alloc));
  PyObject* object = alloc(g_records_type, 0);
  if (object == nullptr) return nullptr;
  Py_INCREF(reinterpret_cast<PyObject*>(recorded->classes.face));
  Py_INCREF(reinterpret_cast<PyObject*>(recorded->classes.derived));
  reinterpret_cast<RecordsObject*>(object)->recorded = recorded.release();
  return object;
}

template <bool kList>
PyObject* terms_of(const RollTrace& trace, PyObject* records) {
  const std::span<const TracedTerm> terms = trace.terms();
  const auto size = static_cast<Py_ssize_t>(terms.size());
  PyRef sequence = PyRef::steal(kList ? PyList_New(size) : PyTuple_New(size));
  if (!sequence) return nullptr;
  for (std::size_t t = 0; t < terms.size(); ++t) {
    const TracedTerm& term = terms[t];
    PyObject* const fields[kTermFields] = {
        PyLong_FromLong(term.count), PyLong_FromLong(term.sides), modifiers_object(term.modifiers),
        Py_NewRef(Py_None),          Py_NewRef(Py_None),          Py_NewRef(Py_None),
        Py_NewRef(records),          PyLong_FromSize_t(t),
    };
    if (!all_made(fields)) return nullptr;
    PyObject* made = new_term(fields);
    if (made == nullptr) return nullptr;
    if constexpr (kList) {
      PyList_SetItem(sequence.get(), static_cast<Py_ssize_t>(t), made);
    } else {
      PyTuple_SetItem(sequence.get(), static_cast<Py_ssize_t>(t), made);
    }
  }
  return sequence.release();
}

template PyObject* terms_of<false>(const RollTrace& trace, PyObject* records);
template PyObject* terms_of<true>(const RollTrace& trace, PyObject* records);

bool create_record_types() {
  if (!create_names()) return false;
  if (g_records_type == nullptr) {
    g_records_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&records_spec));
  }
  return g_records_type != nullptr;
}

}  // namespace kavelo::trace
