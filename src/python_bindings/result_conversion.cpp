#include "python_bindings/result_conversion.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "python_bindings/py_ref.hpp"

namespace kavelo::py {

namespace {

// Interned once at initialisation and kept for the life of the process.
struct ResultKeys {
  PyObject* expression = nullptr;
  PyObject* total = nullptr;
  PyObject* rolls = nullptr;
  PyObject* details = nullptr;
  PyObject* comment = nullptr;
  PyObject* results = nullptr;
  PyObject* empty = nullptr;  // "", the comment of a text without one
  // [0, 1, ..., kSmallValues - 1]: a group [v] of a small value is sliced from it.
  PyObject* small_values = nullptr;
  // gc.isenabled, gc.disable and gc.enable.
  PyObject* gc_isenabled = nullptr;
  PyObject* gc_disable = nullptr;
  PyObject* gc_enable = nullptr;
} g_keys;

// Results with more containers than this are built with automatic collection paused.
constexpr std::size_t kPauseCollectionAbove = 500;

// Automatic garbage collection paused while one large result is built. Every new list
// and dict counts towards the next collection, and each collection would traverse the
// half-built result again, which costs about a fifth of a large conversion. The
// interpreter lock is held throughout and no Python code runs while the result is
// built, so nothing else observes the pause; the collector's previous state is
// restored on every exit path, and a pending exception is kept across the restore.
class CollectionPause {
 public:
  explicit CollectionPause(std::size_t containers) noexcept {
    if (containers <= kPauseCollectionAbove) return;
    PyRef enabled = PyRef::steal(PyObject_CallObject(g_keys.gc_isenabled, nullptr));
    if (!enabled || enabled.get() != Py_True) {
      PyErr_Clear();
      return;
    }
    PyRef done = PyRef::steal(PyObject_CallObject(g_keys.gc_disable, nullptr));
    if (!done) {
      PyErr_Clear();
      return;
    }
    paused_ = true;
  }
  CollectionPause(const CollectionPause&) = delete;
  CollectionPause& operator=(const CollectionPause&) = delete;
  ~CollectionPause() {
    if (!paused_) return;
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyRef done = PyRef::steal(PyObject_CallObject(g_keys.gc_enable, nullptr));
    if (!done) PyErr_Clear();
    PyErr_Restore(type, value, traceback);
  }

 private:
  bool paused_ = false;
};

// Faces of up to a thousand sides, and most counts, are below this.
constexpr std::int64_t kSmallValues = 1024;

// Lists and dicts that converting `result` creates.
std::size_t containers_of(const DiceResult& result) noexcept {
  return 2 + result.rolls.group_count();
}

PyObject* new_key(const char* text) {
  PyObject* key = PyUnicode_FromString(text);
  if (key != nullptr) PyUnicode_InternInPlace(&key);
  return key;
}

PyObject* decode_utf8(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

// For ASCII text, which is Latin-1 text too.
PyObject* decode_latin1(std::string_view text) {
  return PyUnicode_DecodeLatin1(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

// Non-ASCII text of up to this many bytes is widened on the stack; longer text goes to
// the decoder.
constexpr std::size_t kWideMax = 32;

// A str from UTF-8 text. ASCII text takes the Latin-1 decoder. Short text that is
// not all ASCII (every details text holds "详情") is widened to UTF-32 here and built in
// one step, which avoids the decoder's switch of string kind in mid-text; that switch
// costs more than the widening only for short text (measured: the decoder is ahead from
// about 40 bytes on, and four times faster at 5,000). Malformed UTF-8 (which the core
// never produces) goes to the decoder, which reports it.
PyObject* long_text_to_str(std::string_view text);

PyObject* text_to_str(std::string_view text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  if (size > kWideMax) return long_text_to_str(text);
  if (sizeof(wchar_t) != 4) {
    return decode_utf8(text);
  }
  // The ASCII start, eight bytes at a time. ASCII text is Latin-1 text, whose decoder
  // makes the str in fewer steps than the UTF-8 decoder's ASCII path.
  std::size_t ascii = 0;
  for (std::uint64_t word = 0; ascii + 8 <= size; ascii += 8) {
    std::memcpy(&word, bytes + ascii, sizeof word);
    if ((word & 0x8080808080808080ull) != 0) break;
  }
  while (ascii < size && bytes[ascii] < 0x80) ++ascii;
  if (ascii == size) {
    return decode_latin1(text);
  }
  wchar_t wide[kWideMax];
  std::size_t length = 0;
  for (std::size_t i = 0; i < ascii; ++i) wide[length++] = static_cast<wchar_t>(bytes[i]);
  for (std::size_t i = ascii; i < size;) {
    const unsigned char lead = bytes[i];
    if (lead < 0x80) {
      wide[length++] = static_cast<wchar_t>(lead);
      ++i;
      continue;
    }
    std::uint32_t code = lead;
    std::size_t extra = 0;
    if (lead >= 0xF0 && lead <= 0xF4) {
      code = lead & 0x07u;
      extra = 3;
    } else if (lead >= 0xE0) {
      code = lead & 0x0Fu;
      extra = 2;
    } else if (lead >= 0xC2 && lead < 0xE0) {
      code = lead & 0x1Fu;
      extra = 1;
    } else {
      extra = 4;  // not a lead byte: malformed
    }
    if (extra == 4 || size - i <= extra) {
      return decode_utf8(text);
    }
    for (std::size_t k = 1; k <= extra; ++k) {
      const unsigned char next = bytes[i + k];
      if ((next & 0xC0u) != 0x80u) {
        return decode_utf8(text);
      }
      code = (code << 6) | (next & 0x3Fu);
    }
    // Overlong forms, surrogates and values past U+10FFFF are malformed.
    const bool overlong = (extra == 2 && code < 0x800) || (extra == 3 && code < 0x10000);
    if (overlong || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
      return decode_utf8(text);
    }
    wide[length++] = static_cast<wchar_t>(code);
    i += extra + 1;
  }
  return PyUnicode_FromWideChar(wide, static_cast<Py_ssize_t>(length));
}

// A long ASCII end after this many bytes is decoded apart (below, the split costs more
// than it saves).
constexpr std::size_t kAsciiTailMin = 256;

// Long text. The details text of a large roll has its only non-ASCII characters ("详情")
// near its start, followed by thousands of ASCII digits and brackets, which the decoder
// would write one by one into a two-byte string once it has met "详情". So a long ASCII
// end is decoded apart (the Latin-1 decoder copies it in words) and joined to the
// rest, which widens it in one pass. Text that the decoder refuses in part is decoded
// whole, so that its error is the whole text's.
PyObject* long_text_to_str(std::string_view text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  // The ASCII end: back from the end, eight bytes at a time, to the last byte >= 0x80.
  std::size_t tail = size;
  while (tail >= 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes + tail - 8, sizeof word);
    if ((word & 0x8080808080808080ull) != 0) break;
    tail -= 8;
  }
  while (tail > 0 && bytes[tail - 1] < 0x80) --tail;
  if (tail == 0 || size - tail < kAsciiTailMin) {
    return decode_utf8(text);
  }
  PyRef head = PyRef::steal(decode_utf8(text.substr(0, tail)));
  if (!head) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return nullptr;
    PyErr_Clear();
    return decode_utf8(text);
  }
  PyRef rest = PyRef::steal(decode_latin1(text.substr(tail)));
  if (!rest) return nullptr;
  return PyUnicode_Concat(head.get(), rest.get());
}

// A list of `size` containers, each made by `item(i)` (a new reference, or null with an
// exception set). Making a container can start a collection, and the list holds empty
// slots until it is full, so it stays out of the collector's sight until then: a
// collector callback cannot reach it (through gc.get_objects(), say) half-built.
template <class Item>
PyObject* list_of_containers(std::size_t size, Item&& item) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(size)));
  if (!list) return nullptr;
  PyObject_GC_UnTrack(list.get());
  for (std::size_t i = 0; i < size; ++i) {
    PyObject* value = item(i);
    if (value == nullptr) return nullptr;
    if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), value) < 0) return nullptr;
  }
  PyObject_GC_Track(list.get());
  return list.release();
}

// The list [value]. For a small value it is the slice small_values[value:value + 1]:
// the slice is allocated at its size and filled by the interpreter, which costs about
// half of making an int, an empty one-slot list (allocated zeroed) and setting its item.
PyObject* single_value_list(std::int64_t value) {
  if (value >= 0 && value < kSmallValues) {
    return PyList_GetSlice(g_keys.small_values, static_cast<Py_ssize_t>(value),
                           static_cast<Py_ssize_t>(value + 1));
  }
  PyObject* item = PyLong_FromLongLong(value);
  if (item == nullptr) return nullptr;
  PyObject* list = PyList_New(1);
  if (list == nullptr) {
    Py_DECREF(item);
    return nullptr;
  }
  // The list takes the reference even when it refuses it.
  if (PyList_SetItem(list, 0, item) < 0) {
    Py_DECREF(list);
    return nullptr;
  }
  return list;
}

// The list of one group's values. The ints are made before the list, and filling it
// allocates nothing, so no collection can run while it has empty slots.
PyObject* group_to_list(std::span<const std::int64_t> group) {
  if (group.size() == 1) return single_value_list(group[0]);  // the most common shape
  constexpr std::size_t kOnStack = 8;
  PyObject* few[kOnStack];
  std::vector<PyObject*> many;
  PyObject** values = few;
  if (group.size() > kOnStack) {
    many.resize(group.size());
    values = many.data();
  }
  std::size_t made = 0;
  auto release = [&] {
    for (std::size_t i = 0; i < made; ++i) Py_DECREF(values[i]);
    made = 0;
  };
  for (; made < group.size(); ++made) {
    values[made] = PyLong_FromLongLong(group[made]);
    if (values[made] == nullptr) {
      release();
      return nullptr;
    }
  }
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(group.size()));
  if (list == nullptr) {
    release();
    return nullptr;
  }
  for (std::size_t i = 0; i < group.size(); ++i) {
    // The list takes the reference even when it refuses it.
    if (PyList_SetItem(list, static_cast<Py_ssize_t>(i), values[i]) < 0) {
      for (std::size_t rest = i + 1; rest < group.size(); ++rest) Py_DECREF(values[rest]);
      Py_DECREF(list);
      return nullptr;
    }
  }
  return list;
}

PyObject* rolls_to_list(const RollGroups& rolls) {
  if (rolls.all_singletons()) {
    const std::span<const std::int64_t> values = rolls.values();
    return list_of_containers(values.size(),
                              [&](std::size_t i) { return single_value_list(values[i]); });
  }
  return list_of_containers(rolls.group_count(),
                            [&](std::size_t g) { return group_to_list(rolls.group(g)); });
}

// The str of each text field of a list of records. Consecutive records often hold the
// same text (the expression and the comment of every sample of a batch, the details of
// a batch without dice): those share one str instead of each decoding its own copy.
class SharedText {
 public:
  PyObject* get(const std::string& text) {
    if (!str_ || text != *text_) {
      str_ = PyRef::steal(text_to_str(text));
      if (!str_) return nullptr;
      text_ = &text;
    }
    Py_INCREF(str_.get());
    return str_.get();
  }

 private:
  PyRef str_;
  const std::string* text_ = nullptr;
};

struct SharedTexts {
  SharedText expression;
  SharedText details;
  SharedText comment;
};

bool set_item(PyObject* dict, PyObject* key, PyObject* new_value) {
  PyRef value = PyRef::steal(new_value);
  return value && PyDict_SetItem(dict, key, value.get()) == 0;
}

PyObject* empty_str() {
  Py_INCREF(g_keys.empty);
  return g_keys.empty;
}

PyObject* comment_str(const std::optional<std::string>& comment, SharedText& shared) {
  return comment ? shared.get(*comment) : empty_str();
}

// A record's dict from its five values, each a new reference or null with an exception
// set, made in key order by the caller's arguments. Five keys into a new dict: its first
// insertion sizes the table for all five, and each is a plain insertion (cheaper than
// copying a dict of five keys and replacing each value, which looks every key up again).
template <class Expression, class Total, class Rolls, class Details, class Comment>
PyObject* record_dict(Expression&& expression, Total&& total, Rolls&& rolls, Details&& details,
                      Comment&& comment) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  if (!set_item(dict.get(), g_keys.expression, expression()) ||
      !set_item(dict.get(), g_keys.total, total()) ||
      !set_item(dict.get(), g_keys.rolls, rolls()) ||
      !set_item(dict.get(), g_keys.details, details()) ||
      !set_item(dict.get(), g_keys.comment, comment())) {
    return nullptr;
  }
  return dict.release();
}

PyObject* build_dice_dict(const DiceResult& result, SharedTexts& texts) {
  return record_dict([&] { return texts.expression.get(result.expression); },
                     [&] { return PyLong_FromLongLong(result.total); },
                     [&] { return rolls_to_list(result.rolls); },
                     [&] { return texts.details.get(result.details); },
                     [&] { return comment_str(result.comment, texts.comment); });
}

PyObject* build_dice_list(std::span<const DiceResult> results) {
  SharedTexts texts;
  return list_of_containers(results.size(),
                            [&](std::size_t i) { return build_dice_dict(results[i], texts); });
}

}  // namespace

bool create_result_keys() noexcept {
  if (g_keys.results != nullptr) return true;
  g_keys.expression = new_key("expression");
  g_keys.total = new_key("total");
  g_keys.rolls = new_key("rolls");
  g_keys.details = new_key("details");
  g_keys.comment = new_key("comment");
  g_keys.results = new_key("results");
  g_keys.empty = PyUnicode_FromStringAndSize("", 0);
  if (!(g_keys.expression && g_keys.total && g_keys.rolls && g_keys.details && g_keys.comment &&
        g_keys.results && g_keys.empty)) {
    return false;
  }
  PyRef gc = PyRef::steal(PyImport_ImportModule("gc"));
  if (!gc) return false;
  g_keys.gc_isenabled = PyObject_GetAttrString(gc.get(), "isenabled");
  g_keys.gc_disable = PyObject_GetAttrString(gc.get(), "disable");
  g_keys.gc_enable = PyObject_GetAttrString(gc.get(), "enable");
  if (!g_keys.gc_isenabled || !g_keys.gc_disable || !g_keys.gc_enable) return false;
  g_keys.small_values = PyList_New(static_cast<Py_ssize_t>(kSmallValues));
  if (g_keys.small_values == nullptr) return false;
  for (std::int64_t value = 0; value < kSmallValues; ++value) {
    PyObject* item = PyLong_FromLongLong(value);
    if (item == nullptr ||
        PyList_SetItem(g_keys.small_values, static_cast<Py_ssize_t>(value), item) < 0) {
      return false;
    }
  }
  return true;
}

PyObject* dice_result_to_dict(const DiceResult& result) {
  CollectionPause pause(containers_of(result));
  SharedTexts texts;
  return build_dice_dict(result, texts);
}

PyObject* quick_roll_to_dict(const QuickRoll& roll) {
  const std::span<const std::int64_t> values = roll.values();
  CollectionPause pause(2 + values.size());
  return record_dict([&] { return text_to_str(roll.expression()); },
                     [&] { return PyLong_FromLongLong(roll.total()); },
                     [&] {
                       return list_of_containers(values.size(), [&](std::size_t i) {
                         return single_value_list(values[i]);
                       });
                     },
                     [&] { return text_to_str(roll.details()); }, [] { return empty_str(); });
}

PyObject* dice_results_to_list(std::span<const DiceResult> results) {
  std::size_t containers = 1;
  for (const DiceResult& result : results) containers += containers_of(result);
  CollectionPause pause(containers);
  return build_dice_list(results);
}

PyObject* program_result_to_object(const ProgramResult& result) {
  PyRef results = PyRef::steal(dice_results_to_list(result.results));
  if (!results) return nullptr;
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  SharedText comment;
  if (PyDict_SetItem(dict.get(), g_keys.results, results.get()) < 0 ||
      !set_item(dict.get(), g_keys.comment, comment_str(result.comment, comment))) {
    return nullptr;
  }
  return dict.release();
}

PyObject* modifier_roll_to_dict(const DiceResult& result) {
  CollectionPause pause(containers_of(result));
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  if (!set_item(dict.get(), g_keys.total, PyLong_FromLongLong(result.total)) ||
      !set_item(dict.get(), g_keys.rolls, rolls_to_list(result.rolls)) ||
      !set_item(dict.get(), g_keys.details, text_to_str(result.details))) {
    return nullptr;
  }
  return dict.release();
}

}  // namespace kavelo::py
