// The error table for Python: error_rows() lists every row, and match_error(text,
// exception) reads an exception's text back to its row. The package's kavelo.errors
// wraps both; kavelo._trace registers them.
#pragma once

#include <Python.h>

namespace kavelo::py {

// error_rows() -> ((key, code, exception, text, english, fields), ...) in table order,
// where fields is ((name, type), ...): the text's fields in order, and for a syntax
// report the parts read from it.
PyObject* error_rows(PyObject* module, PyObject* unused);

// match_error(text, exception) -> (key, code, english, fields) or None, where exception
// is the name of the exception's class ("ValueError", ...) and fields a dict: numbers as
// int, a syntax report's expected items as tuples of str, anything else as str.
PyObject* match_error(PyObject* module, PyObject* args);

}  // namespace kavelo::py
