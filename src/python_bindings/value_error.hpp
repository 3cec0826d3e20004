// ValueError from a UTF-8 text: the one way an error value of the core (or of the odds)
// reaches Python. Header-only, so that kavelo._odds shares it with kavelo._core.
#pragma once

#include <Python.h>

#include <string_view>

#include "python_bindings/py_ref.hpp"

namespace kavelo::py {

// Sets ValueError with `text`. Sized decode: texts may hold NUL bytes copied from the
// source line; bytes that are not UTF-8 become U+FFFD.
inline void raise_value_error(std::string_view text) noexcept {
  PyRef message = PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!message) return;
  PyErr_SetObject(PyExc_ValueError, message.get());
}

}  // namespace kavelo::py
