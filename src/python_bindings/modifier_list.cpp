#include "python_bindings/modifier_list.hpp"

#include <algorithm>
#include <string_view>

#include "parser/modifier_string.hpp"
#include "python_bindings/binding.hpp"
#include "resource/resource_spec.hpp"

namespace kavelo::py {

namespace {

// A length hint is only a hint: at most this many modifiers are reserved up front, and a
// longer list grows as its items come.
constexpr Py_ssize_t kMostModifiersReserved = 4096;

// The UTF-8 text of a str, read from the interpreter's own UTF-8 form of the string: no
// copy for ASCII text, and one copy kept by the string itself otherwise.
bool utf8_view(PyObject* text, std::string_view& out) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool refuse(Resource resource, std::uint64_t requested, std::uint64_t limit) {
  raise_dice_error(DiceError::budget_exceeded(name_of(resource), 0, requested, limit));
  return false;
}

// The running totals of the strings read so far, against the policy's parse limits.
class ListBounds {
 public:
  explicit ListBounds(const ResourcePolicy& policy) noexcept
      : node_limit_(policy.limit(Resource::AstNodes)),
        byte_limit_(policy.limit(Resource::SourceBytes)) {}

  // One more string: the roll's nodes grow by one (the roll, its modifiers and the two
  // nodes of the expression around it, as for the text of the same roll).
  [[nodiscard]] bool add_string() {
    ++strings_;
    const std::uint64_t nodes = strings_ + 3;
    return nodes <= node_limit_ || refuse(Resource::AstNodes, nodes, node_limit_);
  }

  // Before the string's text is read: a string of more characters than the bytes left
  // cannot fit, and is measured instead of encoded.
  [[nodiscard]] bool check_characters(PyObject* text) {
    const Py_ssize_t characters = PyUnicode_GetLength(text);
    if (characters < 0) return false;
    if (static_cast<std::uint64_t>(characters) <= byte_limit_ - bytes_) return true;
    std::uint64_t length = 0;
    if (!utf8_length(text, characters, length)) return false;
    return refuse(Resource::SourceBytes, bytes_ + length, byte_limit_);
  }

  [[nodiscard]] bool add_bytes(std::size_t size) {
    bytes_ += size;
    return bytes_ <= byte_limit_ || refuse(Resource::SourceBytes, bytes_, byte_limit_);
  }

 private:
  std::uint64_t node_limit_;
  std::uint64_t byte_limit_;
  std::uint64_t strings_ = 0;
  std::uint64_t bytes_ = 0;
};

// Reads one item: a str, within the bounds, classified unless a string was refused
// before it.
bool read_item(PyObject* item, const char* name, ListBounds& bounds, ModifierList& out) {
  if (!PyUnicode_Check(item)) {
    raise_argument_mismatch(item, name, "PyString");
    return false;
  }
  if (!bounds.add_string() || !bounds.check_characters(item)) return false;
  std::string_view text;
  if (!utf8_view(item, text)) {
    prefix_argument_error(name);
    return false;
  }
  if (!bounds.add_bytes(text.size())) return false;
  if (out.refusal) return true;
  if (Result<DiceModifier> modifier = parse_modifier_string(text)) {
    out.modifiers.push_back(*modifier);
  } else {
    out.refusal = std::move(modifier.error());
  }
  return true;
}

// The sequence's length is a size hint only, and an ordinary exception from it is
// dropped. An interruption (KeyboardInterrupt, SystemExit and the other exceptions
// that do not derive from Exception) and MemoryError are not hints gone wrong: they
// propagate.
bool size_hint(PyObject* object, Py_ssize_t& hint) {
  hint = PySequence_Size(object);
  if (hint >= 0) return true;
  hint = 0;
  if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) {
    return false;
  }
  PyErr_Clear();
  return true;
}

}  // namespace

bool convert_modifier_list(PyObject* object, const char* name, const ResourcePolicy& policy,
                           ModifierList& out) {
  if (PyUnicode_Check(object)) {
    PyRef argument = PyRef::steal(PyUnicode_FromString(name));
    if (argument)
      raise_error_row(PyExc_TypeError, ErrorId::ArgumentStrNotList, {{"argument", argument.get()}});
    return false;
  }
  if (!PySequence_Check(object)) {
    raise_argument_mismatch(object, name, "Sequence");
    return false;
  }
  Py_ssize_t hint = 0;
  if (!size_hint(object, hint)) return false;
  out.modifiers.reserve(static_cast<std::size_t>(std::min(hint, kMostModifiersReserved)));
  PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) {
    prefix_argument_error(name);
    return false;
  }
  ListBounds bounds(policy);
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    if (!read_item(item.get(), name, bounds, out)) return false;
  }
  if (PyErr_Occurred()) {
    prefix_argument_error(name);
    return false;
  }
  return true;
}

}  // namespace kavelo::py
