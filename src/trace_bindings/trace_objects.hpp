// The native bases of the package's Trace and Term classes, TraceBase and TermBase:
// objects of a few object fields, read and written from Python as attributes. The
// package's classes derive from them without adding fields (``__slots__ = ()``), so the
// module makes a finished trace and its terms as instances of those classes directly,
// without running Python code: a trace of one die then costs little more than the roll.
#pragma once

#include <Python.h>

#include <cstdint>

namespace kavelo::trace {

// The fields of a term, in the order of TermBase's attributes.
enum TermField : std::uint8_t {
  kTermCount,      // _count: int
  kTermSides,      // _sides: int
  kTermModifiers,  // _modifiers: str
  kTermFaces,      // _faces: tuple of faces, or None until made
  kTermValues,     // _values: list of groups, or None until made
  kTermDerived,    // _derived: tuple of derived values, or None until made
  kTermRecords,    // _records: the Records object that makes them, or None
  kTermIndex,      // _index: the term's index in its Records
  kTermFields,
};

// The fields of a trace, in the order of TraceBase's attributes.
enum TraceField : std::uint8_t {
  kTraceSource,  // _source: the text as given
  kTraceResult,  // result: the result dictionary
  kTraceTerms,   // terms: a tuple of terms
  kTraceFields,
};

// Adds TraceBase and TermBase to `module`; false with an exception set.
bool add_object_types(PyObject* module);

// register(trace, term, face, derived): the package's four classes, checked (trace and
// term derive from the bases without adding fields, face and derived are tuple
// subclasses) and kept for every later call.
PyObject* register_classes(PyObject* module, PyObject* const* args, Py_ssize_t count);

// Whether register has been called; false with RuntimeError set when not.
bool classes_registered();

// A new term of the registered class, taking over `fields` (none null); null when it
// cannot be made, with the fields released.
PyObject* new_term(PyObject* const (&fields)[kTermFields]);

// A new trace of the registered class: `source` borrowed, `result` and `terms` taken
// over (both non-null); null when it cannot be made, with them released.
PyObject* new_trace(PyObject* source, PyObject* result, PyObject* terms);

}  // namespace kavelo::trace
