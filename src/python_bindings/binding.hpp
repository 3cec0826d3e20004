// Argument binding and conversion shared by every Python entry point, and the one
// place where core errors and C++ exceptions become Python exceptions.
#pragma once

#include <Python.h>

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <new>
#include <optional>
#include <string_view>

#include "errors/dice_error.hpp"
#include "python_bindings/guarded.hpp"
#include "python_bindings/py_ref.hpp"

namespace kavelo::py {

// Fixed description of one entry point: no positional-only, keyword-only or catch-all
// parameters; the first `required` parameters must be given.
struct Signature {
  const char* function;    // e.g. "roll"
  const char* class_name;  // e.g. "Kavelo", or nullptr for a module function
  const char* const* parameters;
  int parameter_count;
  int required;
};

// Binds `args`/`kwargs` to the parameters; `out` receives borrowed references (null for
// an absent optional parameter). Returns false with TypeError set on any binding error.
[[nodiscard]] bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                                  PyObject** out);
// The same for the fast calling convention (METH_FASTCALL | METH_KEYWORDS): `given`
// positional arguments, then one value per name of the `kwnames` tuple (or null). Binds
// and fails exactly as the tuple-and-dict form does.
[[nodiscard]] bool bind_arguments(const Signature& signature, PyObject* const* args,
                                  Py_ssize_t given, PyObject* kwnames, PyObject** out);

// A str taken as UTF-8; holds the string, which keeps its UTF-8 form alive for as long
// as the view is used.
// A source text longer than its byte limit is not encoded: `refused_length` then holds
// its exact UTF-8 length and `text` is empty.
struct Utf8Text {
  PyRef owner;
  std::string_view text;
  std::optional<std::uint64_t> refused_length;
};

// Converters: false with an exception set on failure. A TypeError gets the
// "argument '<name>': " prefix; other exception types pass through unchanged.
[[nodiscard]] bool convert_text(PyObject* object, const char* name, Utf8Text& out);
// The same for an expression or program text checked against `byte_limit`
// (source_bytes): a text of more characters than that cannot fit, and is measured
// instead of encoded, so that no copy of it is made.
[[nodiscard]] bool convert_source_text(PyObject* object, const char* name, std::uint64_t byte_limit,
                                       Utf8Text& out);
// The UTF-8 length of a str of `characters` characters, measured without encoding all
// of it at once; false with the interpreter's encoding error (the one encoding the
// whole text raises) when it holds a lone surrogate.
[[nodiscard]] bool utf8_length(PyObject* text, Py_ssize_t characters, std::uint64_t& out);
[[nodiscard]] bool convert_int32(PyObject* object, const char* name, std::int32_t& out);
[[nodiscard]] bool convert_int64(PyObject* object, const char* name, std::int64_t& out);
[[nodiscard]] bool convert_uint64(PyObject* object, const char* name, std::uint64_t& out);

// A field of an error text: its name and its value, a str (borrowed).
struct TextField {
  std::string_view name;
  PyObject* value;
};
// A new str: the text of the error table's row `id`, its fields taken from `fields` (a
// field missing there is left empty); null with an exception set when the interpreter
// fails. The values stay Python strs throughout, so a name holding a lone surrogate is
// shown as it is.
[[nodiscard]] PyObject* error_row_text(ErrorId id, std::initializer_list<TextField> fields);
// Sets the exception `type` with that text.
void raise_error_row(PyObject* type, ErrorId id, std::initializer_list<TextField> fields = {});
// The decimal text of `value` as a str (null with an exception set on failure).
[[nodiscard]] PyRef decimal_str(long long value);

// Sets TypeError "'<type>' object cannot be converted to '<target>'".
void raise_type_mismatch(PyObject* object, const char* target);
// The same for the argument `name`: "argument '<name>': '<type>' object cannot be
// converted to '<target>'".
void raise_argument_mismatch(PyObject* object, const char* name, const char* target);
// Rewrites a pending exactly-TypeError into "argument '<name>': <message>", keeping its cause.
void prefix_argument_error(const char* name);

// A new, zeroed instance of the heap type `type` from its own allocation slot (null, with
// MemoryError set, when that fails); the caller constructs its C++ members in place.
[[nodiscard]] PyObject* allocate_instance(PyTypeObject* type) noexcept;
// The end of a tp_dealloc, after the C++ members are destroyed: frees `self` through its
// type's free slot and drops the reference every instance holds on its heap type.
void free_instance(PyObject* self) noexcept;

// DiceError to ValueError carrying its display text.
void raise_dice_error(const DiceError& error);

// The module's exception for internal faults (derives from BaseException).
[[nodiscard]] PyObject* internal_fault_type() noexcept;
[[nodiscard]] bool create_internal_fault_type() noexcept;
void raise_internal_fault(const char* message) noexcept;

// Runs an entry point's body; no C++ exception unwinds into the interpreter:
// std::bad_alloc becomes MemoryError, anything else the internal fault exception.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  return guarded_by<&raise_internal_fault>(static_cast<Body&&>(body));
}

// Casts a method implementation to PyCFunction without tripping -Wcast-function-type.
template <class F>
PyCFunction as_cfunction(F* function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace kavelo::py
