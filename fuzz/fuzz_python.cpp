// The Python surface: an embedded interpreter imports the real extension module (built
// with the sanitizers and coverage) and the input drives every entry point, with valid
// and invalid arguments, keyword mix-ups, policies derived from the input, modifier
// strings and a modifiers sequence that calls back into its own roller.
//
// Allowed outcomes of a call: its result of the right type, or ValueError, TypeError,
// OverflowError, UnicodeEncodeError, or RuntimeError "Already borrowed". Anything else
// (SystemError, the internal fault, MemoryError, a ValueError without a known message
// shape) aborts, and so does a roller left borrowed after a call.
//
// The interpreter uses plain malloc, so that AddressSanitizer sees every object.
#include <Python.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// Python keeps objects until exit on purpose; leaks are the leak check's business.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
  if (PyErr_Occurred()) PyErr_Print();
  std::abort();
}

// A new reference, or abort: the harness's own calls must not fail.
PyObject* need(PyObject* object, const char* what) {
  if (object == nullptr) fail(what);
  return object;
}

struct Surface {
  PyObject* roll_dice;
  PyObject* run_program;
  PyObject* roll_simple;
  PyObject* roller_class;
  PyObject* policy_class;
  PyObject* calls_back;  // CallsBack(roller, items)
  PyObject* names;       // list of the seventeen resource names
} g;

constexpr const char* kHelpers = R"(
class CallsBack:
    """A modifiers sequence whose iteration calls the roller that is iterating it."""

    def __init__(self, roller, items):
        self.roller, self.items = roller, items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        if i == 0:
            try:
                self.roller.roll("1d6")
            except RuntimeError as e:
                if str(e) != "Already borrowed":
                    raise AssertionError("wrong re-entry error: " + str(e))
            else:
                raise AssertionError("a re-entrant call was not refused")
        return self.items[i]
)";

void init_python() {
  PyPreConfig preconfig;
  PyPreConfig_InitIsolatedConfig(&preconfig);
  preconfig.allocator = PYMEM_ALLOCATOR_MALLOC;
  preconfig.utf8_mode = 1;
  if (PyStatus_Exception(Py_PreInitialize(&preconfig))) fail("Py_PreInitialize");

  PyConfig config;
  PyConfig_InitIsolatedConfig(&config);
  config.install_signal_handlers = 0;  // libFuzzer handles the signals
  config.site_import = 0;
  const char* home = std::getenv("KAVELO_FUZZ_PYTHON_HOME");
  if (home == nullptr) home = KAVELO_FUZZ_PYTHON_HOME;
  if (PyStatus_Exception(PyConfig_SetBytesString(&config, &config.home, home))) fail("home");
  PyStatus status = Py_InitializeFromConfig(&config);
  PyConfig_Clear(&config);
  if (PyStatus_Exception(status)) fail("Py_InitializeFromConfig");

  PyObject* sys_path = PySys_GetObject("path");  // borrowed
  PyObject* package_dir = need(PyUnicode_FromString(KAVELO_FUZZ_PACKAGE_DIR), "package dir");
  if (sys_path == nullptr || PyList_Insert(sys_path, 0, package_dir) < 0) fail("sys.path");
  Py_DECREF(package_dir);

  PyObject* kavelo = need(PyImport_ImportModule("kavelo"), "import kavelo");
  PyObject* file = need(PyObject_GetAttrString(kavelo, "__file__"), "kavelo.__file__");
  std::fprintf(stderr, "fuzzing the module imported from %s\n", PyUnicode_AsUTF8(file));
  Py_DECREF(file);
  g.roll_dice = need(PyObject_GetAttrString(kavelo, "roll_dice"), "roll_dice");
  g.run_program = need(PyObject_GetAttrString(kavelo, "run_program"), "run_program");
  g.roll_simple = need(PyObject_GetAttrString(kavelo, "roll_simple"), "roll_simple");
  g.roller_class = need(PyObject_GetAttrString(kavelo, "Kavelo"), "Kavelo");
  g.policy_class = need(PyObject_GetAttrString(kavelo, "ResourcePolicy"), "ResourcePolicy");

  PyObject* globals = need(PyDict_New(), "globals");
  if (PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) < 0) fail("builtins");
  Py_XDECREF(need(PyRun_String(kHelpers, Py_file_input, globals, globals), "helpers"));
  g.calls_back = need(PyDict_GetItemString(globals, "CallsBack"), "CallsBack");
  Py_INCREF(g.calls_back);

  PyObject* policy = need(PyObject_CallNoArgs(g.policy_class), "ResourcePolicy()");
  PyObject* limits = need(PyObject_CallMethod(policy, "limits", nullptr), "limits()");
  g.names = need(PySequence_List(limits), "names");
  Py_DECREF(limits);
  Py_DECREF(policy);
}

// ---- Argument makers -----------------------------------------------------------------

// Text from the input's bytes: invalid UTF-8 becomes lone surrogates, which the binding
// cannot encode (UnicodeEncodeError), as a str from Python could hold them.
PyObject* text_from(const std::string& bytes) {
  return need(
      PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "surrogateescape"),
      "decode");
}

constexpr const char* kFragments[] = {
    "1d6",
    "4d6kh3",
    "1d1!",
    "4d6R6",
    "10000d1",
    "3d6!e!u",
    "2d6 # c",
    "1;2;3",
    "(",
    ")",
    "+",
    "-",
    "*",
    "/",
    "^",
    "d",
    "kh",
    "r",
    "ro",
    "K",
    "a",
    "c",
    "s",
    "9223372036854775807",
    "-9223372036854775808",
    "2147483648",
    "0",
    " ",
    "\n",
    "#",
};

PyObject* make_text(FuzzedDataProvider& fdp) {
  switch (fdp.ConsumeIntegralInRange(0, 9)) {
    case 0: return Py_NewRef(Py_None);
    case 1: return need(PyBytes_FromString("1d6"), "bytes");
    case 2: {
      // A fragment repeated: long chains and deep brackets from short inputs.
      std::string piece =
          kFragments[fdp.ConsumeIntegralInRange<std::size_t>(0, std::size(kFragments) - 1)];
      std::string text;
      const auto times = fdp.ConsumeIntegralInRange(1, 300);
      for (int i = 0; i < times; ++i) text += piece;
      return text_from(text + fdp.ConsumeRandomLengthString(64));
    }
    default: return text_from(fdp.ConsumeRandomLengthString(256));
  }
}

PyObject* make_int(FuzzedDataProvider& fdp) {
  switch (fdp.ConsumeIntegralInRange(0, 12)) {
    case 0: return Py_NewRef(Py_True);
    case 1: return need(PyFloat_FromDouble(1.5), "float");
    case 2: return need(PyUnicode_FromString("3"), "str");
    case 3: return need(PyLong_FromString("18446744073709551616", nullptr, 10), "2**64");
    case 4: return need(PyLong_FromString("-1180591620717411303424", nullptr, 10), "-2**70");
    case 5: return need(PyLong_FromLongLong(fdp.ConsumeIntegral<std::int64_t>()), "int64");
    case 6: return need(PyLong_FromLongLong(fdp.ConsumeIntegral<std::int32_t>()), "int32");
    default: return need(PyLong_FromLong(fdp.ConsumeIntegralInRange(-3, 40)), "small");
  }
}

// Small batch sizes mostly (each sample costs a whole evaluation), edges sometimes.
PyObject* make_times(FuzzedDataProvider& fdp) {
  if (fdp.ConsumeIntegralInRange(0, 3) == 0) return make_int(fdp);
  return need(PyLong_FromLong(fdp.ConsumeIntegralInRange(0, 64)), "times");
}

constexpr const char* kModifierStrings[] = {
    "!",   "r1",   "ro2",  "kh3",  "kl1",         "dh1", "dl1",           "kh",   "r", "",  "x3",
    "KH3", "kh+2", "kh 3", "kh-1", "r2147483648", "ro",  "dl-2147483648", "kh3x", "e", "u",
};

PyObject* make_modifier_items(FuzzedDataProvider& fdp) {
  const auto count = fdp.ConsumeIntegralInRange(0, 6);
  PyObject* items = need(PyList_New(0), "list");
  for (int i = 0; i < count; ++i) {
    PyObject* item = nullptr;
    switch (fdp.ConsumeIntegralInRange(0, 5)) {
      case 0: item = text_from(fdp.ConsumeRandomLengthString(12)); break;
      case 1: item = need(PyLong_FromLong(3), "int item"); break;
      default:
        item = need(PyUnicode_FromString(kModifierStrings[fdp.ConsumeIntegralInRange<std::size_t>(
                        0, std::size(kModifierStrings) - 1)]),
                    "modifier");
    }
    if (PyList_Append(items, item) < 0) fail("append");
    Py_DECREF(item);
  }
  return items;
}

PyObject* make_modifiers(FuzzedDataProvider& fdp, PyObject* roller) {
  PyObject* items = make_modifier_items(fdp);
  PyObject* made = nullptr;
  switch (fdp.ConsumeIntegralInRange(0, 7)) {
    case 0: made = need(PyList_AsTuple(items), "tuple"); break;
    case 1: made = need(PyUnicode_FromString("kh3"), "str"); break;  // a str is refused
    case 2: made = need(PyLong_FromLong(3), "int"); break;           // not a sequence
    case 3:
      made = roller != nullptr
                 ? need(PyObject_CallFunctionObjArgs(g.calls_back, roller, items, nullptr),
                        "CallsBack")
                 : Py_NewRef(items);
      break;
    default: made = Py_NewRef(items);
  }
  Py_DECREF(items);
  return made;
}

// A policy derived from the input: a few with_limit steps. Most values stay at or below
// the limit's default, so that inputs stay within the 2 s timeout under the sanitizers;
// the rest come from the integer maker: negative, above the hard maximum, too large for
// 64 bits, not an int, and now and then a valid value above the default. Policies with
// every limit raised to its hard maximum are the adversarial suite's business.
PyObject* make_policy(FuzzedDataProvider& fdp) {
  PyObject* policy = need(PyObject_CallNoArgs(g.policy_class), "ResourcePolicy()");
  const auto steps = fdp.ConsumeIntegralInRange(0, 4);
  for (int i = 0; i < steps; ++i) {
    PyObject* name = nullptr;
    if (fdp.ConsumeIntegralInRange(0, 7) == 0) {
      name = text_from(fdp.ConsumeRandomLengthString(24));
    } else {
      name = Py_NewRef(PyList_GetItem(
          g.names, fdp.ConsumeIntegralInRange<Py_ssize_t>(0, PyList_Size(g.names) - 1)));
    }
    PyObject* value = nullptr;
    switch (fdp.ConsumeIntegralInRange(0, 9)) {
      case 0: value = make_int(fdp); break;
      case 1: value = need(PyLong_FromLongLong(fdp.ConsumeIntegral<std::int64_t>()), "v"); break;
      default: {
        PyObject* limits = need(PyObject_CallMethod(policy, "limits", nullptr), "limits()");
        PyObject* current = PyUnicode_Check(name) ? PyDict_GetItemWithError(limits, name) : nullptr;
        if (current == nullptr && PyErr_Occurred()) PyErr_Clear();
        const long long top = current != nullptr ? PyLong_AsLongLong(current) : 100;
        value = need(PyLong_FromLongLong(fdp.ConsumeIntegralInRange<long long>(
                         0, top < 0 ? 0 : std::min(top, 1000000LL))),
                     "limit");
        Py_DECREF(limits);
      }
    }
    PyObject* next = PyObject_CallMethod(policy, "with_limit", "OO", name, value);
    Py_DECREF(name);
    Py_DECREF(value);
    if (next == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError) &&
          !PyErr_ExceptionMatches(PyExc_OverflowError)) {
        fail("with_limit raised an unexpected exception");
      }
      PyErr_Clear();
      continue;
    }
    if (!PyObject_IsInstance(next, g.policy_class)) fail("with_limit returned no policy");
    Py_DECREF(policy);
    policy = next;
  }
  return policy;
}

// ---- Calls and their outcomes --------------------------------------------------------

enum class Shape { Dict5, Dict2, Dict3, Int, List, Policy, Limits, Roller };

bool starts_with(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// The message shapes a ValueError of this module has.
bool known_value_error(PyObject* value) {
  PyObject* text = PyObject_Str(value);
  if (text == nullptr) return false;
  const char* message = PyUnicode_AsUTF8(text);
  bool known = message != nullptr &&
               (starts_with(message, "[") || starts_with(message, "解析错误: ") ||
                starts_with(message, "无效的骰子表达式: ") || starts_with(message, "无效的") ||
                std::strcmp(message, "未知的修饰符") == 0);
  Py_DECREF(text);
  return known;
}

void check_outcome(PyObject* result, Shape shape) {
  if (result == nullptr) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    bool allowed = false;
    if (type == PyExc_ValueError) {
      allowed = known_value_error(value);
    } else if (type == PyExc_TypeError || type == PyExc_OverflowError ||
               type == PyExc_UnicodeEncodeError) {
      allowed = true;
    } else if (type == PyExc_RuntimeError) {
      PyObject* text = PyObject_Str(value);
      allowed = text != nullptr && PyUnicode_CompareWithASCIIString(text, "Already borrowed") == 0;
      Py_XDECREF(text);
    }
    if (!allowed) {
      PyErr_Restore(type, value, traceback);
      fail("a call raised an exception outside the module's contract");
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return;
  }
  if (PyErr_Occurred()) fail("a call returned a result with an exception set");
  bool ok = false;
  switch (shape) {
    case Shape::Dict5: ok = PyDict_CheckExact(result) && PyDict_Size(result) == 5; break;
    case Shape::Dict2: ok = PyDict_CheckExact(result) && PyDict_Size(result) == 2; break;
    case Shape::Dict3: ok = PyDict_CheckExact(result) && PyDict_Size(result) == 3; break;
    case Shape::Int: ok = PyLong_CheckExact(result); break;
    case Shape::List: ok = PyList_CheckExact(result); break;
    case Shape::Policy: ok = PyObject_IsInstance(result, g.policy_class) == 1; break;
    case Shape::Limits: ok = PyDict_CheckExact(result) && PyDict_Size(result) == 17; break;
    case Shape::Roller: ok = PyObject_IsInstance(result, g.roller_class) == 1; break;
  }
  if (!ok) fail("a call returned a result of the wrong shape");
  Py_DECREF(result);
}

// Calls `callable` with `args` (stolen) bound to `names`, positionally or by keyword,
// or deliberately wrong: an extra positional, an unknown keyword, a doubled argument,
// a missing one.
PyObject* call(FuzzedDataProvider& fdp, PyObject* callable, std::vector<PyObject*> args,
               const std::vector<const char*>& names) {
  const int mode = fdp.ConsumeIntegralInRange(0, 15);
  std::size_t positional = args.size();
  PyObject* kwargs = nullptr;
  if (mode == 1 || mode == 2) positional = 0;                        // all by keyword
  if (mode == 3 && !args.empty()) positional = args.size() - 1;      // last missing
  if (mode == 4) args.push_back(need(PyLong_FromLong(1), "extra"));  // one too many
  if (mode == 4) positional = args.size();
  PyObject* tuple = need(PyTuple_New(static_cast<Py_ssize_t>(positional)), "tuple");
  for (std::size_t i = 0; i < positional; ++i) {
    PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), Py_NewRef(args[i]));
  }
  if (mode == 1 || mode == 2 || mode == 5 || mode == 6) {
    kwargs = need(PyDict_New(), "kwargs");
    if (mode == 1 || mode == 2) {
      for (std::size_t i = 0; i < names.size(); ++i)
        PyDict_SetItemString(kwargs, names[i], args[i]);
    }
    if (mode == 5) PyDict_SetItemString(kwargs, "sides", Py_None);  // unknown keyword
    if (mode == 6 && !names.empty()) PyDict_SetItemString(kwargs, names[0], Py_None);  // doubled
  }
  PyObject* result = PyObject_Call(callable, tuple, kwargs);
  Py_DECREF(tuple);
  Py_XDECREF(kwargs);
  for (PyObject* arg : args) Py_DECREF(arg);
  return result;
}

// The borrow flag is free again after every call, whatever the call did. (A tight
// policy may refuse the roll itself with a ValueError.)
void check_roller_free(PyObject* roller) {
  PyObject* result = PyObject_CallMethod(roller, "roll", "s", "1d1");
  if (result == nullptr && !PyErr_ExceptionMatches(PyExc_ValueError)) {
    fail("a roller stayed borrowed after a call");
  }
  PyErr_Clear();
  Py_XDECREF(result);
}

void drive(FuzzedDataProvider& fdp) {
  PyObject* policy = make_policy(fdp);
  PyObject* roller_args = fdp.ConsumeBool() ? Py_NewRef(policy) : Py_NewRef(Py_None);
  PyObject* roller = call(fdp, g.roller_class, {roller_args}, {"policy"});
  if (roller == nullptr) {
    check_outcome(nullptr, Shape::Roller);
    roller = need(PyObject_CallOneArg(g.roller_class, policy), "Kavelo(policy)");
  }
  const int operations = fdp.ConsumeIntegralInRange(1, 4);
  for (int i = 0; i < operations && fdp.remaining_bytes() > 0; ++i) {
    switch (fdp.ConsumeIntegralInRange(0, 12)) {
      case 0:
        check_outcome(call(fdp, g.roll_dice, {make_text(fdp)}, {"expression"}), Shape::Dict5);
        break;
      case 1:
        check_outcome(call(fdp, g.run_program, {make_text(fdp)}, {"program"}), Shape::Dict2);
        break;
      case 2:
        check_outcome(
            call(fdp, g.roll_simple, {make_int(fdp), make_int(fdp)}, {"dice_count", "dice_sides"}),
            Shape::Int);
        break;
      case 3: {
        PyObject* method = need(PyObject_GetAttrString(roller, "roll"), "roll");
        check_outcome(call(fdp, method, {make_text(fdp)}, {"expression"}), Shape::Dict5);
        Py_DECREF(method);
        break;
      }
      case 4: {
        PyObject* method = need(PyObject_GetAttrString(roller, "run"), "run");
        check_outcome(call(fdp, method, {make_text(fdp)}, {"program"}), Shape::Dict2);
        Py_DECREF(method);
        break;
      }
      case 5: {
        PyObject* method = need(PyObject_GetAttrString(roller, "roll_multiple"), "roll_multiple");
        check_outcome(call(fdp, method, {make_text(fdp), make_times(fdp)}, {"expression", "times"}),
                      Shape::List);
        Py_DECREF(method);
        break;
      }
      case 6: {
        PyObject* method = need(PyObject_GetAttrString(roller, "roll_simple"), "roll_simple");
        check_outcome(
            call(fdp, method, {make_int(fdp), make_int(fdp)}, {"dice_count", "dice_sides"}),
            Shape::Int);
        Py_DECREF(method);
        break;
      }
      case 7:
      case 8: {
        PyObject* method =
            need(PyObject_GetAttrString(roller, "roll_with_modifiers"), "roll_with_modifiers");
        check_outcome(call(fdp, method, {make_int(fdp), make_int(fdp), make_modifiers(fdp, roller)},
                           {"dice_count", "dice_sides", "modifiers"}),
                      Shape::Dict3);
        Py_DECREF(method);
        break;
      }
      case 9: {
        PyObject* method = need(PyObject_GetAttrString(policy, "with_limit"), "with_limit");
        PyObject* name = fdp.ConsumeBool() ? text_from(fdp.ConsumeRandomLengthString(24))
                                           : Py_NewRef(PyList_GetItem(g.names, 0));
        check_outcome(call(fdp, method, {name, make_int(fdp)}, {"name", "limit"}), Shape::Policy);
        Py_DECREF(method);
        break;
      }
      case 10:
        check_outcome(
            PyObject_CallMethod(policy, fdp.ConsumeBool() ? "limits" : "hard_limits", nullptr),
            Shape::Limits);
        break;
      case 11:
        // Methods called on the wrong receiver through the class.
        check_outcome(PyObject_CallMethod(g.roller_class, "roll", "Os", policy, "1d6"),
                      Shape::Dict5);
        break;
      default: check_outcome(call(fdp, g.policy_class, {}, {}), Shape::Policy); break;
    }
    check_roller_free(roller);
  }
  Py_DECREF(roller);
  Py_DECREF(policy);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  init_python();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fdp(data, size);
  drive(fdp);
  if (PyErr_Occurred()) fail("an exception was left pending");
  return 0;
}
