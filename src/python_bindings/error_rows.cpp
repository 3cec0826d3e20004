#include "python_bindings/error_rows.hpp"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "errors/error_text.hpp"
#include "python_bindings/guarded.hpp"
#include "python_bindings/py_ref.hpp"

namespace kavelo::py {

namespace {

// Texts cross as UTF-8 that lets lone surrogates through both ways, so that any str
// (an unexpected keyword may hold one) reads back unchanged.
PyObject* str_of(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
}

constexpr std::string_view type_name(FieldType type) noexcept {
  switch (type) {
    case FieldType::Count: return "count";
    case FieldType::Integer: return "integer";
    case FieldType::Resource: return "resource";
    case FieldType::Identifier: return "identifier";
    case FieldType::Words: return "words";
    case FieldType::Text: return "text";
    case FieldType::Report: return "report";
  }
  return "text";
}

// The parts of a syntax report offered as fields: (name, type).
constexpr std::string_view kReportFields[][2] = {
    {"line", "count"},  {"column", "count"},     {"line_text", "text"},       {"caret", "count"},
    {"marker", "text"}, {"expected", "phrases"}, {"expected_rules", "names"},
};

bool append_pair(PyObject* list, std::string_view a, std::string_view b) {
  PyRef first = PyRef::steal(str_of(a));
  PyRef second = PyRef::steal(str_of(b));
  if (!first || !second) return false;
  PyRef pair = PyRef::steal(PyTuple_Pack(2, first.get(), second.get()));
  return pair && PyList_Append(list, pair.get()) == 0;
}

PyObject* row_fields(const ErrorSpec& spec) {
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  std::string_view rest = spec.text;
  std::vector<std::string_view> seen;
  bool report = false;
  for (std::size_t open = rest.find('{'); open != std::string_view::npos; open = rest.find('{')) {
    const std::size_t close = rest.find('}', open);
    const std::string_view name = rest.substr(open + 1, close - open - 1);
    rest.remove_prefix(close + 1);
    if (std::find(seen.begin(), seen.end(), name) != seen.end()) continue;
    seen.push_back(name);
    const FieldType type = find_error_field(name)->type;
    report = report || type == FieldType::Report;
    if (!append_pair(list.get(), name, type_name(type))) return nullptr;
  }
  if (report) {
    for (const auto& part : kReportFields) {
      if (!append_pair(list.get(), part[0], part[1])) return nullptr;
    }
  }
  return PyList_AsTuple(list.get());
}

PyObject* strings_tuple(const std::string_view* items, std::size_t count) {
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(count)));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* item = str_of(items[i]);
    if (item == nullptr) return nullptr;
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item);
  }
  return tuple.release();
}

bool set_field(PyObject* dict, std::string_view name, PyObject* value) {
  PyRef owned = PyRef::steal(value);
  PyRef key = PyRef::steal(str_of(name));
  return owned && key && PyDict_SetItem(dict, key.get(), owned.get()) == 0;
}

PyObject* number_of(std::string_view digits) {
  const std::string text(digits);
  return PyLong_FromString(text.c_str(), nullptr, 10);
}

// The report's parts, added to `dict`.
bool add_report_parts(PyObject* dict, std::string_view report) {
  const auto read = read_syntax_report(report);
  if (!read) return true;  // a matched report always reads; nothing to add otherwise
  const ExpectedWords words = expected_words(*read);
  std::string marker(read->underline);
  marker += '^';
  return set_field(dict, "line", PyLong_FromUnsignedLong(read->line)) &&
         set_field(dict, "column", PyLong_FromUnsignedLong(read->column)) &&
         set_field(dict, "line_text", str_of(read->line_text)) &&
         set_field(dict, "caret", PyLong_FromUnsignedLong(read->caret)) &&
         set_field(dict, "marker", str_of(marker)) &&
         set_field(dict, "expected", strings_tuple(words.phrase.data(), words.count)) &&
         set_field(dict, "expected_rules",
                   strings_tuple(read->expected.data(), read->expected_count));
}

PyObject* match_to_python(const ErrorMatch& match) {
  PyRef fields = PyRef::steal(PyDict_New());
  if (!fields) return nullptr;
  for (const ErrorField& field : match.fields()) {
    const FieldType type = find_error_field(field.name)->type;
    const bool number = type == FieldType::Count || type == FieldType::Integer;
    if (!set_field(fields.get(), field.name,
                   number ? number_of(field.value) : str_of(field.value))) {
      return nullptr;
    }
    if (type == FieldType::Report && !add_report_parts(fields.get(), field.value)) return nullptr;
  }
  PyRef key = PyRef::steal(str_of(match.spec().key));
  PyRef code = PyRef::steal(str_of(match.code()));
  PyRef english = PyRef::steal(str_of(match.english()));
  if (!key || !code || !english) return nullptr;
  return PyTuple_Pack(4, key.get(), code.get(), english.get(), fields.get());
}

// An internal fault (a bug) as kavelo._core.InternalFault, like every module's.
void raise_fault(const char* message) noexcept {
  PyObject* type = PyExc_SystemError;
  PyRef core = PyRef::steal(PyImport_ImportModule("kavelo._core"));
  PyRef fault = PyRef::steal(core ? PyObject_GetAttrString(core.get(), "InternalFault") : nullptr);
  PyErr_Clear();
  if (fault) type = fault.get();
  PyErr_SetString(type, message);
}

}  // namespace

PyObject* error_rows(PyObject*, PyObject*) {
  return guarded_by<&raise_fault>([]() -> PyObject* {
    PyRef rows = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(kErrors.size())));
    if (!rows) return nullptr;
    for (std::size_t i = 0; i < kErrors.size(); ++i) {
      const ErrorSpec& spec = kErrors[i];
      PyRef key = PyRef::steal(str_of(spec.key));
      PyRef code = PyRef::steal(str_of(spec.code));
      PyRef raised_as =
          PyRef::steal(str_of(kErrorClassNames[static_cast<std::size_t>(spec.raised_as)]));
      PyRef text = PyRef::steal(str_of(spec.text));
      PyRef english = PyRef::steal(str_of(spec.english));
      PyRef fields = PyRef::steal(row_fields(spec));
      if (!key || !code || !raised_as || !text || !english || !fields) return nullptr;
      PyObject* row = PyTuple_Pack(6, key.get(), code.get(), raised_as.get(), text.get(),
                                   english.get(), fields.get());
      if (row == nullptr) return nullptr;
      PyTuple_SetItem(rows.get(), static_cast<Py_ssize_t>(i), row);
    }
    return rows.release();
  });
}

PyObject* match_error(PyObject*, PyObject* args) {
  return guarded_by<&raise_fault>([&]() -> PyObject* {
    PyObject* text_object = nullptr;
    const char* exception = nullptr;
    if (!PyArg_ParseTuple(args, "Us:match_error", &text_object, &exception)) return nullptr;
    const std::string_view class_name(exception);
    std::size_t raised_as = 0;
    while (raised_as < kErrorClassNames.size() && kErrorClassNames[raised_as] != class_name) {
      ++raised_as;
    }
    if (raised_as == kErrorClassNames.size()) Py_RETURN_NONE;
    PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(text_object, "utf-8", "surrogatepass"));
    if (!bytes) return nullptr;
    char* data = PyBytes_AsString(bytes.get());
    const Py_ssize_t size = PyBytes_Size(bytes.get());
    if (data == nullptr || size < 0) return nullptr;
    const auto match = kavelo::match_error(std::string_view(data, static_cast<std::size_t>(size)),
                                           static_cast<ErrorClass>(raised_as));
    if (!match) Py_RETURN_NONE;
    return match_to_python(*match);
  });
}

}  // namespace kavelo::py
