#include "python_bindings/binding.hpp"

#include <algorithm>
#include <string>

#include "python_bindings/value_error.hpp"

namespace kavelo::py {

namespace {

PyObject* g_internal_fault = nullptr;

// "name()" or "Class.name()": how every binding message names its entry point.
std::string full_name(const Signature& signature) {
  std::string name;
  if (signature.class_name != nullptr) {
    name += signature.class_name;
    name += '.';
  }
  name += signature.function;
  name += "()";
  return name;
}

// A str of ASCII or UTF-8 text, for a field.
PyRef text_str(std::string_view text) {
  return PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
}

void raise_too_many_positional(const Signature& s, Py_ssize_t given) {
  PyRef function = text_str(full_name(s));
  PyRef count = decimal_str(s.parameter_count);
  PyRef required = decimal_str(s.required);
  PyRef given_text = decimal_str(given);
  PyRef were = text_str(given == 1 ? "was" : "were");
  if (!function || !count || !required || !given_text || !were) return;
  const std::initializer_list<TextField> fields = {{"function", function.get()},
                                                   {"required", required.get()},
                                                   {"count", count.get()},
                                                   {"given", given_text.get()},
                                                   {"were", were.get()}};
  raise_error_row(
      PyExc_TypeError,
      s.required == s.parameter_count ? ErrorId::ArgumentTooMany : ErrorId::ArgumentTooManyRange,
      fields);
}

void raise_missing(const Signature& s, PyObject* const* bound) {
  int missing = 0;
  for (int i = 0; i < s.required; ++i) missing += bound[i] == nullptr ? 1 : 0;
  std::string names;
  int listed = 0;
  for (int i = 0; i < s.required; ++i) {
    if (bound[i] != nullptr) continue;
    if (listed > 0) {
      if (missing == 2) {
        names += " and ";
      } else {
        names += listed == missing - 1 ? ", and " : ", ";
      }
    }
    names += '\'';
    names += s.parameters[i];
    names += '\'';
    ++listed;
  }
  PyRef function = text_str(full_name(s));
  PyRef count = decimal_str(missing);
  PyRef noun = text_str(missing == 1 ? "argument" : "arguments");
  PyRef listed_names = text_str(names);
  if (!function || !count || !noun || !listed_names) return;
  raise_error_row(PyExc_TypeError, ErrorId::ArgumentMissing,
                  {{"function", function.get()},
                   {"count", count.get()},
                   {"noun", noun.get()},
                   {"names", listed_names.get()}});
}

int parameter_index(const Signature& s, PyObject* keyword) {
  if (!PyUnicode_Check(keyword)) return -1;
  for (int i = 0; i < s.parameter_count; ++i) {
    if (PyUnicode_CompareWithASCIIString(keyword, s.parameters[i]) == 0) return i;
  }
  return -1;
}

}  // namespace

namespace {

// Binds one keyword argument; false with TypeError set when it names no parameter or
// one already bound.
bool bind_keyword(const Signature& s, PyObject* key, PyObject* value, PyObject** out) {
  int index = parameter_index(s, key);
  if (index < 0) {
    PyRef function = text_str(full_name(s));
    PyRef keyword = PyRef::steal(PyObject_Str(key));
    if (function && keyword) {
      raise_error_row(PyExc_TypeError, ErrorId::ArgumentUnexpectedKeyword,
                      {{"function", function.get()}, {"keyword", keyword.get()}});
    }
    return false;
  }
  if (out[index] != nullptr) {
    PyRef function = text_str(full_name(s));
    PyRef argument = text_str(s.parameters[index]);
    if (function && argument) {
      raise_error_row(PyExc_TypeError, ErrorId::ArgumentDuplicate,
                      {{"function", function.get()}, {"argument", argument.get()}});
    }
    return false;
  }
  out[index] = value;
  return true;
}

bool check_required(const Signature& s, PyObject** out) {
  for (int i = 0; i < s.required; ++i) {
    if (out[i] == nullptr) {
      raise_missing(s, out);
      return false;
    }
  }
  return true;
}

}  // namespace

bool bind_arguments(const Signature& s, PyObject* args, PyObject* kwargs, PyObject** out) {
  for (int i = 0; i < s.parameter_count; ++i) out[i] = nullptr;
  Py_ssize_t given = args != nullptr ? PyTuple_Size(args) : 0;
  if (given < 0) return false;
  if (given > s.parameter_count) {
    raise_too_many_positional(s, given);
    return false;
  }
  for (Py_ssize_t i = 0; i < given; ++i) out[i] = PyTuple_GetItem(args, i);

  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      if (!bind_keyword(s, key, value, out)) return false;
    }
  }
  return check_required(s, out);
}

bool bind_arguments(const Signature& s, PyObject* const* args, Py_ssize_t given, PyObject* kwnames,
                    PyObject** out) {
  for (int i = 0; i < s.parameter_count; ++i) out[i] = nullptr;
  if (given > s.parameter_count) {
    raise_too_many_positional(s, given);
    return false;
  }
  for (Py_ssize_t i = 0; i < given; ++i) out[i] = args[i];

  if (kwnames != nullptr) {
    // The keyword values follow the positional ones, in the order of their names, which
    // is the order in which they were written in the call.
    const Py_ssize_t keywords = PyTuple_Size(kwnames);
    if (keywords < 0) return false;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
      PyObject* key = PyTuple_GetItem(kwnames, k);
      if (key == nullptr || !bind_keyword(s, key, args[given + k], out)) return false;
    }
  }
  return check_required(s, out);
}

PyObject* error_row_text(ErrorId id, std::initializer_list<TextField> fields) {
  const std::string_view pattern = error_spec(id).text;
  PyRef pieces = PyRef::steal(PyList_New(0));
  if (!pieces) return nullptr;
  std::size_t at = 0;
  while (at < pattern.size()) {
    const std::size_t open = pattern.find('{', at);
    const std::size_t end = open == std::string_view::npos ? pattern.size() : open;
    if (end > at) {
      PyRef literal = text_str(pattern.substr(at, end - at));
      if (!literal || PyList_Append(pieces.get(), literal.get()) < 0) return nullptr;
    }
    if (open == std::string_view::npos) break;
    const std::size_t close = pattern.find('}', open);
    const std::string_view name = pattern.substr(open + 1, close - open - 1);
    for (const TextField& field : fields) {
      if (field.name != name) continue;
      if (PyList_Append(pieces.get(), field.value) < 0) return nullptr;
      break;
    }
    at = close + 1;
  }
  PyRef empty = PyRef::steal(PyUnicode_FromStringAndSize("", 0));
  if (!empty) return nullptr;
  return PyUnicode_Join(empty.get(), pieces.get());
}

void raise_error_row(PyObject* type, ErrorId id, std::initializer_list<TextField> fields) {
  PyRef message = PyRef::steal(error_row_text(id, fields));
  if (message) PyErr_SetObject(type, message.get());
}

PyRef decimal_str(long long value) { return PyRef::steal(PyUnicode_FromFormat("%lld", value)); }

namespace {

PyRef type_name_of(PyObject* object) {
  return PyRef::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__"));
}

}  // namespace

void raise_type_mismatch(PyObject* object, const char* target) {
  PyRef type_name = type_name_of(object);
  PyRef target_text = text_str(target);
  if (!type_name || !target_text) return;
  raise_error_row(PyExc_TypeError, ErrorId::ReceiverConversion,
                  {{"type", type_name.get()}, {"target", target_text.get()}});
}

void raise_argument_mismatch(PyObject* object, const char* name, const char* target) {
  PyRef argument = text_str(name);
  PyRef type_name = type_name_of(object);
  PyRef target_text = text_str(target);
  if (!argument || !type_name || !target_text) return;
  raise_error_row(
      PyExc_TypeError, ErrorId::ArgumentConversion,
      {{"argument", argument.get()}, {"type", type_name.get()}, {"target", target_text.get()}});
}

void prefix_argument_error(const char* name) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef old_type = PyRef::steal(type);
  PyRef old_value = PyRef::steal(value);
  PyRef old_traceback = PyRef::steal(traceback);
  PyRef text = PyRef::steal(old_value ? PyObject_Str(old_value.get()) : nullptr);
  if (!text) return;  // str() failed: its exception is now the pending one
  PyRef argument = text_str(name);
  if (!argument) return;
  PyRef message = PyRef::steal(error_row_text(
      ErrorId::ArgumentOther, {{"argument", argument.get()}, {"message", text.get()}}));
  if (!message) return;
  PyRef replacement =
      PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!replacement) return;
  if (old_value) {
    // The new error takes over the old one's cause, not the old error itself.
    PyObject* cause = PyException_GetCause(old_value.get());
    if (cause != nullptr) PyException_SetCause(replacement.get(), cause);
  }
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}

bool convert_text(PyObject* object, const char* name, Utf8Text& out) {
  if (!PyUnicode_Check(object)) {
    raise_argument_mismatch(object, name, "PyString");
    return false;
  }
  // The interpreter's own UTF-8 form of the string: the text itself for ASCII, a copy
  // made once and kept by the string otherwise. Its errors are those of encoding it.
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) {
    prefix_argument_error(name);
    return false;
  }
  Py_INCREF(object);
  out.owner = PyRef::steal(object);
  out.text = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool convert_source_text(PyObject* object, const char* name, std::uint64_t byte_limit,
                         Utf8Text& out) {
  if (!PyUnicode_Check(object)) return convert_text(object, name, out);
  const Py_ssize_t characters = PyUnicode_GetLength(object);
  if (characters < 0) return false;
  // Every character takes at least one byte.
  if (static_cast<std::uint64_t>(characters) <= byte_limit) return convert_text(object, name, out);
  std::uint64_t length = 0;
  if (!utf8_length(object, characters, length)) return false;
  out.refused_length = length;
  return true;
}

namespace {

// str.isascii of the str type itself, which a subclass cannot redefine; it answers
// from the string's own flag, without reading the text.
PyObject* g_str_isascii = nullptr;

bool is_ascii(PyObject* text, bool& out) {
  if (g_str_isascii == nullptr) {
    g_str_isascii = PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyUnicode_Type), "isascii");
    if (g_str_isascii == nullptr) return false;
  }
  PyRef answer = PyRef::steal(PyObject_CallFunctionObjArgs(g_str_isascii, text, nullptr));
  if (!answer) return false;
  out = answer.get() == Py_True;
  return true;
}

// Re-raises the encoding error of a slice starting at `offset` as the error of the whole
// text: the same exception type, positions counted from the start of the text, and a
// run of lone surrogates followed past the end of the slice.
void raise_whole_text_error(PyObject* text, Py_ssize_t offset, Py_ssize_t characters) {
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef old_type = PyRef::steal(type);
  PyRef old_value = PyRef::steal(value);
  PyRef old_traceback = PyRef::steal(traceback);
  PyRef start = PyRef::steal(PyObject_GetAttrString(old_value.get(), "start"));
  PyRef end = PyRef::steal(PyObject_GetAttrString(old_value.get(), "end"));
  PyRef reason = PyRef::steal(PyObject_GetAttrString(old_value.get(), "reason"));
  if (!start || !end || !reason) return;
  const Py_ssize_t first = PyLong_AsSsize_t(start.get()) + offset;
  Py_ssize_t last = PyLong_AsSsize_t(end.get()) + offset;
  if (PyErr_Occurred()) return;
  while (last < characters) {
    const Py_UCS4 c = PyUnicode_ReadChar(text, last);
    if (c < 0xD800 || c > 0xDFFF) break;
    ++last;
  }
  PyRef error = PyRef::steal(PyObject_CallFunction(PyExc_UnicodeEncodeError, "sOnnO", "utf-8", text,
                                                   first, last, reason.get()));
  if (error) PyErr_SetObject(PyExc_UnicodeEncodeError, error.get());
}

}  // namespace

bool utf8_length(PyObject* text, Py_ssize_t characters, std::uint64_t& out) {
  bool ascii = false;
  if (!is_ascii(text, ascii)) return false;
  if (ascii) {
    out = static_cast<std::uint64_t>(characters);
    return true;
  }
  // Slices of 64 Ki characters: at most a few hundred KiB exist at any time.
  constexpr Py_ssize_t kSlice = Py_ssize_t{1} << 16;
  std::uint64_t length = 0;
  for (Py_ssize_t start = 0; start < characters; start += kSlice) {
    const Py_ssize_t end = std::min(characters, start + kSlice);
    PyRef slice = PyRef::steal(PyUnicode_Substring(text, start, end));
    if (!slice) return false;
    PyRef bytes = PyRef::steal(PyUnicode_AsUTF8String(slice.get()));
    if (!bytes) {
      raise_whole_text_error(text, start, characters);
      return false;
    }
    length += static_cast<std::uint64_t>(PyBytes_Size(bytes.get()));
  }
  out = length;
  return true;
}

namespace {

// Index conversion, then the full signed 64-bit range; the interpreter's errors.
bool index_as_int64(PyObject* object, const char* name, std::int64_t& out) {
  PyRef index = PyRef::steal(PyNumber_Index(object));
  if (!index) {
    prefix_argument_error(name);
    return false;
  }
  long value = PyLong_AsLong(index.get());
  if (value == -1 && PyErr_Occurred()) {
    prefix_argument_error(name);
    return false;
  }
  out = value;
  return true;
}

}  // namespace

static_assert(sizeof(long) == 8, "signed 64-bit conversion uses the C long of LP64 platforms");

bool convert_int64(PyObject* object, const char* name, std::int64_t& out) {
  return index_as_int64(object, name, out);
}

bool convert_int32(PyObject* object, const char* name, std::int32_t& out) {
  std::int64_t wide = 0;
  if (!index_as_int64(object, name, wide)) return false;
  if (wide < INT32_MIN || wide > INT32_MAX) {
    raise_error_row(PyExc_OverflowError, ErrorId::ArgumentOutOfRange);
    return false;
  }
  out = static_cast<std::int32_t>(wide);
  return true;
}

bool convert_uint64(PyObject* object, const char* name, std::uint64_t& out) {
  PyRef index = PyRef::steal(PyNumber_Index(object));
  if (!index) {
    prefix_argument_error(name);
    return false;
  }
  unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    prefix_argument_error(name);
    return false;
  }
  out = value;
  return true;
}

PyObject* allocate_instance(PyTypeObject* type) noexcept {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  return alloc(type, 0);
}

void free_instance(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

void raise_dice_error(const DiceError& error) { raise_value_error(error.display()); }

bool create_internal_fault_type() noexcept {
  if (g_internal_fault != nullptr) return true;
  g_internal_fault = PyErr_NewExceptionWithDoc(
      "kavelo._core.InternalFault",
      "An internal fault of the kavelo core: a bug, never caused by input. Derives from "
      "BaseException so that ordinary error handling does not swallow it.",
      PyExc_BaseException, nullptr);
  return g_internal_fault != nullptr;
}

PyObject* internal_fault_type() noexcept { return g_internal_fault; }

void raise_internal_fault(const char* message) noexcept {
  PyObject* type = g_internal_fault != nullptr ? g_internal_fault : PyExc_SystemError;
  PyErr_SetString(type, message);
}

}  // namespace kavelo::py
