// The wall between C++ and the interpreter, header-only so that every extension module
// of the package (kavelo._core, kavelo._odds, kavelo._trace) shares it.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

namespace kavelo::py {

// Runs an entry point's body; no C++ exception unwinds into the interpreter:
// std::bad_alloc becomes MemoryError, anything else goes to `RaiseFault`, which sets the
// module's internal fault exception.
template <void (*RaiseFault)(const char*) noexcept, class Body>
PyObject* guarded_by(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    RaiseFault(e.what());
  } catch (...) {
    RaiseFault("unknown internal fault");
  }
  return nullptr;
}

}  // namespace kavelo::py
