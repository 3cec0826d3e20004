// TraceBase and TermBase, and the making of the package's Trace and Term instances.
#include "trace_bindings/trace_objects.hpp"

#include <structmember.h>

#include <cstddef>

#include "python_bindings/py_ref.hpp"
#include "trace_bindings/records.hpp"

namespace kavelo::trace {

using py::PyRef;

namespace {

// An object of N object fields; a field never set reads as None.
template <std::size_t N>
struct FieldsObject {
  PyObject_HEAD PyObject* fields[N];
};

using TermObject = FieldsObject<kTermFields>;
using TraceObject = FieldsObject<kTraceFields>;

template <std::size_t N>
int fields_traverse(PyObject* self, visitproc visit, void* arg) {
  for (PyObject* field : reinterpret_cast<FieldsObject<N>*>(self)->fields) Py_VISIT(field);
  // Instances of a heap type hold a reference to it; a subclass made in Python leaves
  // visiting it to its heap-type base.
  Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
  return 0;
}

template <std::size_t N>
int fields_clear(PyObject* self) {
  for (PyObject*& field : reinterpret_cast<FieldsObject<N>*>(self)->fields) Py_CLEAR(field);
  return 0;
}

template <std::size_t N>
void fields_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  fields_clear<N>(self);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(reinterpret_cast<PyObject*>(type));
}

constexpr Py_ssize_t field_offset(std::size_t n) noexcept {
  return static_cast<Py_ssize_t>(offsetof(FieldsObject<1>, fields) + n * sizeof(PyObject*));
}

// NOLINTBEGIN(cppcoreguidelines-pro-type-const-cast): the member table takes char*.
PyMemberDef term_members[] = {
    {const_cast<char*>("_count"), T_OBJECT, field_offset(kTermCount), 0, nullptr},
    {const_cast<char*>("_sides"), T_OBJECT, field_offset(kTermSides), 0, nullptr},
    {const_cast<char*>("_modifiers"), T_OBJECT, field_offset(kTermModifiers), 0, nullptr},
    {const_cast<char*>("_faces"), T_OBJECT, field_offset(kTermFaces), 0, nullptr},
    {const_cast<char*>("_values"), T_OBJECT, field_offset(kTermValues), 0, nullptr},
    {const_cast<char*>("_derived"), T_OBJECT, field_offset(kTermDerived), 0, nullptr},
    {const_cast<char*>("_records"), T_OBJECT, field_offset(kTermRecords), 0, nullptr},
    {const_cast<char*>("_index"), T_OBJECT, field_offset(kTermIndex), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMemberDef trace_members[] = {
    {const_cast<char*>("_source"), T_OBJECT, field_offset(kTraceSource), 0, nullptr},
    {const_cast<char*>("result"), T_OBJECT, field_offset(kTraceResult), 0,
     const_cast<char*>("The result dictionary.")},
    {const_cast<char*>("terms"), T_OBJECT, field_offset(kTraceTerms), 0,
     const_cast<char*>("The dice terms, in evaluation order.")},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot term_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(fields_dealloc<kTermFields>)},
    {Py_tp_traverse, reinterpret_cast<void*>(fields_traverse<kTermFields>)},
    {Py_tp_clear, reinterpret_cast<void*>(fields_clear<kTermFields>)},
    {Py_tp_members, term_members},
    {Py_tp_doc, const_cast<char*>("The fields of kavelo.Term.")},
    {0, nullptr},
};

PyType_Slot trace_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(fields_dealloc<kTraceFields>)},
    {Py_tp_traverse, reinterpret_cast<void*>(fields_traverse<kTraceFields>)},
    {Py_tp_clear, reinterpret_cast<void*>(fields_clear<kTraceFields>)},
    {Py_tp_members, trace_members},
    {Py_tp_doc, const_cast<char*>("The fields of kavelo.Trace.")},
    {0, nullptr},
};
// NOLINTEND(cppcoreguidelines-pro-type-const-cast)

constexpr unsigned int kBaseFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;

PyType_Spec term_spec = {
    "kavelo._trace.TermBase", static_cast<int>(sizeof(TermObject)), 0, kBaseFlags, term_slots,
};

PyType_Spec trace_spec = {
    "kavelo._trace.TraceBase", static_cast<int>(sizeof(TraceObject)), 0, kBaseFlags, trace_slots,
};

PyTypeObject* g_term_base = nullptr;
PyTypeObject* g_trace_base = nullptr;

// The registered classes (strong references), and their allocators.
PyTypeObject* g_term_class = nullptr;
PyTypeObject* g_trace_class = nullptr;
allocfunc g_term_alloc = nullptr;
allocfunc g_trace_alloc = nullptr;

// Whether `type` derives from `base` and its instances are `size` bytes, as a base's
// are: no __dict__, no __weakref__, no slots of its own, so that the module can fill
// the base's fields of an instance it made.
bool same_layout(PyObject* type, PyTypeObject* base, std::size_t size) {
  if (!PyType_Check(type) || PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type), base) == 0) {
    return false;
  }
  PyRef basic = PyRef::steal(PyObject_GetAttrString(type, "__basicsize__"));
  if (!basic) {
    PyErr_Clear();
    return false;
  }
  return PyLong_AsSize_t(basic.get()) == size;
}

template <std::size_t N>
PyObject* new_object(PyTypeObject* type, allocfunc alloc, PyObject* const (&fields)[N]) {
  PyObject* object = alloc(type, 0);
  if (object == nullptr) {
    for (PyObject* field : fields) Py_DECREF(field);
    if (!PyErr_Occurred()) PyErr_NoMemory();
    return nullptr;
  }
  auto* made = reinterpret_cast<FieldsObject<N>*>(object);
  for (std::size_t i = 0; i < N; ++i) made->fields[i] = fields[i];
  return object;
}

}  // namespace

bool add_object_types(PyObject* module) {
  if (g_term_base == nullptr) {
    g_term_base = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&term_spec));
    if (g_term_base == nullptr) return false;
  }
  if (g_trace_base == nullptr) {
    g_trace_base = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&trace_spec));
    if (g_trace_base == nullptr) return false;
  }
  // PyModule_AddObjectRef leaves the module's own reference with the caller.
  return PyModule_AddObjectRef(module, "TermBase", reinterpret_cast<PyObject*>(g_term_base)) == 0 &&
         PyModule_AddObjectRef(module, "TraceBase", reinterpret_cast<PyObject*>(g_trace_base)) == 0;
}

PyObject* register_classes(PyObject* /*module*/, PyObject* const* args, Py_ssize_t count) {
  if (count != 4) {
    PyErr_SetString(PyExc_TypeError, "register(trace, term, face, derived) takes 4 arguments");
    return nullptr;
  }
  if (!same_layout(args[0], g_trace_base, sizeof(TraceObject)) ||
      !same_layout(args[1], g_term_base, sizeof(TermObject))) {
    PyErr_SetString(PyExc_TypeError,
                    "the trace and term classes must derive from TraceBase and TermBase "
                    "with __slots__ = ()");
    return nullptr;
  }
  if (!set_record_classes(args[2], args[3])) return nullptr;
  auto* trace_class = reinterpret_cast<PyTypeObject*>(Py_NewRef(args[0]));
  auto* term_class = reinterpret_cast<PyTypeObject*>(Py_NewRef(args[1]));
  Py_XDECREF(reinterpret_cast<PyObject*>(g_trace_class));
  Py_XDECREF(reinterpret_cast<PyObject*>(g_term_class));
  g_trace_class = trace_class;
  g_term_class = term_class;
  g_trace_alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(trace_class, Py_tp_alloc));
  g_term_alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(term_class, Py_tp_alloc));
  Py_RETURN_NONE;
}

bool classes_registered() {
  if (g_term_class != nullptr && g_trace_class != nullptr) return true;
  PyErr_SetString(PyExc_RuntimeError, "kavelo._trace: the package's classes are not registered");
  return false;
}

PyObject* new_term(PyObject* const (&fields)[kTermFields]) {
  return new_object(g_term_class, g_term_alloc, fields);
}

PyObject* new_trace(PyObject* source, PyObject* result, PyObject* terms) {
  PyObject* const fields[kTraceFields] = {Py_NewRef(source), result, terms};
  return new_object(g_trace_class, g_trace_alloc, fields);
}

}  // namespace kavelo::trace
