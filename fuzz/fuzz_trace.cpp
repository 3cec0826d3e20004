// Roll traces: an embedded interpreter imports the real extension modules (built with
// the sanitizers and coverage) and fuzz/trace_driver.py turns each input into a policy,
// an expression and faces, calls kavelo.replay and kavelo.trace, and checks every form
// of each trace it gets against the trace itself (tests/python/tracing/trace_reading.py).
//
// The driver raises on anything outside the contract (an unknown error, a form that
// misstates its roll, a replay that differs, a control character in a form); the
// harness then prints the Python traceback and aborts.
//
// The interpreter uses plain malloc, so that AddressSanitizer sees every object.
#include <Python.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

// Python keeps objects until exit on purpose; leaks are the leak check's business.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

namespace {

PyObject* g_drive = nullptr;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
  if (PyErr_Occurred()) PyErr_Print();
  std::abort();
}

void prepend_path(PyObject* sys_path, const char* directory) {
  PyObject* entry = PyUnicode_FromString(directory);
  if (entry == nullptr || PyList_Insert(sys_path, 0, entry) < 0) fail("sys.path");
  Py_DECREF(entry);
}

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
  if (sys_path == nullptr) fail("sys.path");
  prepend_path(sys_path, KAVELO_FUZZ_READER_DIR);
  prepend_path(sys_path, KAVELO_FUZZ_DRIVER_DIR);
  prepend_path(sys_path, KAVELO_FUZZ_PACKAGE_DIR);

  PyObject* driver = PyImport_ImportModule("trace_driver");
  if (driver == nullptr) fail("import trace_driver");
  PyObject* kavelo = PyImport_ImportModule("kavelo");
  if (kavelo == nullptr) fail("import kavelo");
  PyObject* file = PyObject_GetAttrString(kavelo, "__file__");
  if (file == nullptr) fail("kavelo.__file__");
  std::fprintf(stderr, "fuzzing the traces of the module imported from %s\n",
               PyUnicode_AsUTF8(file));
  Py_DECREF(file);
  Py_DECREF(kavelo);
  g_drive = PyObject_GetAttrString(driver, "drive");
  if (g_drive == nullptr) fail("trace_driver.drive");
  Py_DECREF(driver);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  init_python();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  PyObject* bytes =
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size));
  if (bytes == nullptr) fail("bytes");
  PyObject* result = PyObject_CallOneArg(g_drive, bytes);
  Py_DECREF(bytes);
  if (result == nullptr) fail("the trace driver raised");
  Py_DECREF(result);
  if (PyErr_Occurred()) fail("an exception was left pending");
  return 0;
}
