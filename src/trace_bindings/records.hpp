// The records of a trace as Python objects. The entry functions check the record
// classes, evaluate into a RecordedTrace and hand it to a Records object, which owns it
// and makes the records of one term on request: a trace of many faces then costs
// little more than the roll until its faces are read, and a program that only wants the
// total or the result never pays for a record per face.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "calculator/roll_trace.hpp"
#include "python_bindings/py_ref.hpp"

namespace kavelo::trace {

// The classes of the records; both tuple subclasses, checked when they are registered.
// `untrack` when neither has a __dict__: the records then hold nothing but ints, texts
// and None, cannot be part of a reference cycle, and are kept out of the collector,
// which would otherwise walk every face of a large trace again and again.
struct RecordClasses {
  PyTypeObject* face = nullptr;
  PyTypeObject* derived = nullptr;
  bool untrack = false;
};

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

// A finished trace, the faces it replayed (which the trace reads from) and the classes
// of its records (strong references while a Records object owns it).
struct RecordedTrace {
  std::vector<std::int64_t> replayed;
  RollTrace trace;
  RecordClasses classes;
};

// Checks that both classes are tuple subclasses and whether their records can stay out
// of the collector, and keeps them for every later trace; false with TypeError set.
bool set_record_classes(PyObject* face, PyObject* derived);

// The classes set last (null types before the first).
const RecordClasses& record_classes() noexcept;

// A Records object owning `recorded`; null (with `recorded` freed) on failure.
PyObject* records_object(std::unique_ptr<RecordedTrace> recorded);

// Each term of `trace` as a Term of the registered class, made by the Records object
// `records` when its faces, derived values and groups are first read: a tuple, or for
// a program (kList) a list.
template <bool kList>
PyObject* terms_of(const RollTrace& trace, PyObject* records);

// The record names and the Records type, made once; false with an exception set.
bool create_record_types();

}  // namespace kavelo::trace
