// The roller class Kavelo: the rolling operations under the instance's own policy.
#include <new>
#include <string>
#include <vector>

#include "python_bindings/binding.hpp"
#include "python_bindings/entry_points.hpp"
#include "python_bindings/module_parts.hpp"
#include "python_bindings/policy_type.hpp"
#include "python_bindings/requests.hpp"

namespace kavelo::py {

namespace {

struct RollerObject {
  PyObject_HEAD ResourcePolicy policy;
  bool borrowed;  // set for the duration of each method call
};

PyObject* g_roller_type = nullptr;

// Exclusive use of the receiver for one method call; released on every exit path.
class Borrow {
 public:
  Borrow() = default;
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  ~Borrow() {
    if (roller_ != nullptr) roller_->borrowed = false;
  }

  [[nodiscard]] bool acquire(PyObject* self) {
    if (g_roller_type == nullptr ||
        !PyType_IsSubtype(Py_TYPE(self), reinterpret_cast<PyTypeObject*>(g_roller_type))) {
      raise_type_mismatch(self, "Kavelo");
      return false;
    }
    auto* roller = reinterpret_cast<RollerObject*>(self);
    if (roller->borrowed) {
      raise_error_row(PyExc_RuntimeError, ErrorId::RollerBusy);
      return false;
    }
    roller->borrowed = true;
    roller_ = roller;
    return true;
  }

  [[nodiscard]] const ResourcePolicy& policy() const noexcept { return roller_->policy; }
  [[nodiscard]] std::uint64_t source_limit() const noexcept {
    return roller_->policy.limit(Resource::SourceBytes);
  }

 private:
  RollerObject* roller_ = nullptr;
};

PyObject* roller_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* const parameters[] = {"policy"};
    static const Signature signature{"__new__", "Kavelo", parameters, 1, 0};
    PyObject* bound[1];
    ResourcePolicy policy;
    if (!bind_arguments(signature, args, kwargs, bound) ||
        !convert_policy(bound[0], "policy", policy)) {
      return nullptr;
    }
    PyObject* self = allocate_instance(type);
    if (self == nullptr) return nullptr;
    auto* roller = reinterpret_cast<RollerObject*>(self);
    new (&roller->policy) ResourcePolicy(policy);
    roller->borrowed = false;
    return self;
  });
}

void roller_dealloc(PyObject* self) {
  reinterpret_cast<RollerObject*>(self)->policy.~ResourcePolicy();
  free_instance(self);
}

const char* const kExpression[] = {"expression"};
const char* const kProgram[] = {"program"};
const char* const kCountAndSides[] = {"dice_count", "dice_sides"};

PyObject* roller_roll(PyObject* self, PyObject* const* args, Py_ssize_t given, PyObject* kwnames) {
  static const Signature signature{"roll", "Kavelo", kExpression, 1, 1};
  return text_entry<Borrow, roll_expression>(signature, self, args, given, kwnames);
}

PyObject* roller_run(PyObject* self, PyObject* const* args, Py_ssize_t given, PyObject* kwnames) {
  static const Signature signature{"run", "Kavelo", kProgram, 1, 1};
  return text_entry<Borrow, run_program_text>(signature, self, args, given, kwnames);
}

PyObject* roller_roll_multiple(PyObject* self, PyObject* const* args, Py_ssize_t given,
                               PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const parameters[] = {"expression", "times"};
    static const Signature signature{"roll_multiple", "Kavelo", parameters, 2, 2};
    PyObject* bound[2];
    Borrow borrow;
    Utf8Text expression;
    std::uint64_t times = 0;
    if (!bind_arguments(signature, args, given, kwnames, bound) || !borrow.acquire(self) ||
        !convert_source_text(bound[0], "expression", borrow.source_limit(), expression) ||
        !convert_uint64(bound[1], "times", times)) {
      return nullptr;
    }
    return roll_batch(borrow.policy(), expression, times);
  });
}

PyObject* roller_roll_simple(PyObject* self, PyObject* const* args, Py_ssize_t given,
                             PyObject* kwnames) {
  static const Signature signature{"roll_simple", "Kavelo", kCountAndSides, 2, 2};
  return simple_entry<Borrow>(signature, self, args, given, kwnames);
}

PyObject* roller_roll_with_modifiers(PyObject* self, PyObject* const* args, Py_ssize_t given,
                                     PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const parameters[] = {"dice_count", "dice_sides", "modifiers"};
    static const Signature signature{"roll_with_modifiers", "Kavelo", parameters, 3, 3};
    PyObject* bound[3];
    Borrow borrow;
    std::int32_t count = 0;
    std::int32_t sides = 0;
    ModifierList modifiers;
    if (!bind_arguments(signature, args, given, kwnames, bound) || !borrow.acquire(self) ||
        !convert_int32(bound[0], "dice_count", count) ||
        !convert_int32(bound[1], "dice_sides", sides) ||
        !convert_modifier_list(bound[2], "modifiers", borrow.policy(), modifiers)) {
      return nullptr;
    }
    return roll_with_modifier_list(borrow.policy(), count, sides, modifiers);
  });
}

PyMethodDef roller_methods[] = {
    {"roll", as_cfunction(roller_roll), METH_FASTCALL | METH_KEYWORDS,
     "roll($self, expression)\n--\n\n"},
    {"run", as_cfunction(roller_run), METH_FASTCALL | METH_KEYWORDS, "run($self, program)\n--\n\n"},
    {"roll_multiple", as_cfunction(roller_roll_multiple), METH_FASTCALL | METH_KEYWORDS,
     "roll_multiple($self, expression, times)\n--\n\n"},
    {"roll_simple", as_cfunction(roller_roll_simple), METH_FASTCALL | METH_KEYWORDS,
     "roll_simple($self, dice_count, dice_sides)\n--\n\n"},
    {"roll_with_modifiers", as_cfunction(roller_roll_with_modifiers), METH_FASTCALL | METH_KEYWORDS,
     "roll_with_modifiers($self, dice_count, dice_sides, modifiers)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot roller_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(roller_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(roller_dealloc)},
    {Py_tp_doc, const_cast<char*>("Kavelo(policy=None)\n--\n\n")},
    {Py_tp_methods, roller_methods},
    {0, nullptr},
};

PyType_Spec roller_spec = {
    "builtins.Kavelo",
    static_cast<int>(sizeof(RollerObject)),
    0,
    // Immutable: no attribute of the class can be set or deleted from Python.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    roller_slots,
};

}  // namespace

bool add_roller_class(PyObject* module, AddPublic add_public) {
  if (g_roller_type == nullptr) g_roller_type = PyType_FromSpec(&roller_spec);
  return g_roller_type != nullptr && add_public(module, "Kavelo", g_roller_type);
}

}  // namespace kavelo::py
