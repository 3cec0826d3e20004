#include "python_bindings/policy_type.hpp"

#include <new>
#include <stdexcept>
#include <string>

#include "python_bindings/binding.hpp"
#include "resource/resource_spec.hpp"

namespace kavelo::py {

namespace {

struct PolicyObject {
  PyObject_HEAD ResourcePolicy policy;
};

PyObject* g_policy_type = nullptr;

PyObject* new_policy_object(PyTypeObject* type, const ResourcePolicy& policy) {
  PyObject* self = allocate_instance(type);
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<PolicyObject*>(self)->policy) ResourcePolicy(policy);
  return self;
}

void policy_dealloc(PyObject* self) {
  reinterpret_cast<PolicyObject*>(self)->policy.~ResourcePolicy();
  free_instance(self);
}

PyObject* policy_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const Signature signature{"__new__", "ResourcePolicy", nullptr, 0, 0};
    if (!bind_arguments(signature, args, kwargs, nullptr)) return nullptr;
    return new_policy_object(type, ResourcePolicy());
  });
}

// One dict of the seventeen names in table order; `value_of` gives each row's value.
template <class ValueOf>
PyObject* listing(ValueOf value_of) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (std::size_t row = 0; row < kResourceCount; ++row) {
    PyRef key = PyRef::steal(PyUnicode_FromString(RESOURCE_SPECS[row].name));
    if (!key) return nullptr;
    PyRef value = PyRef::steal(PyLong_FromUnsignedLongLong(value_of(row)));
    if (!value) return nullptr;
    if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return dict.release();
}

bool check_receiver(PyObject* self) {
  if (is_resource_policy(self)) return true;
  raise_type_mismatch(self, "ResourcePolicy");
  return false;
}

PyObject* policy_limits(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    if (!check_receiver(self)) return nullptr;
    const ResourcePolicy& policy = policy_of(self);
    return listing([&](std::size_t row) {
      auto limit = policy.limit(std::string_view(RESOURCE_SPECS[row].name));
      if (!limit) throw std::logic_error("registered resource limit");
      return *limit;
    });
  });
}

PyObject* policy_hard_limits(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    if (!check_receiver(self)) return nullptr;
    return listing([](std::size_t row) { return RESOURCE_SPECS[row].hard_max; });
  });
}

PyObject* policy_with_limit(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* const parameters[] = {"name", "limit"};
    static const Signature signature{"with_limit", "ResourcePolicy", parameters, 2, 2};
    PyObject* bound[2];
    if (!bind_arguments(signature, args, kwargs, bound)) return nullptr;
    if (!check_receiver(self)) return nullptr;
    Utf8Text name;
    std::int64_t limit = 0;
    if (!convert_text(bound[0], "name", name)) return nullptr;
    if (!convert_int64(bound[1], "limit", limit)) return nullptr;
    auto changed = policy_of(self).with_signed_limit(name.text, limit);
    if (!changed) {
      raise_dice_error(changed.error());
      return nullptr;
    }
    return new_policy_object(Py_TYPE(self), *changed);
  });
}

PyMethodDef policy_methods[] = {
    {"with_limit", as_cfunction(policy_with_limit), METH_VARARGS | METH_KEYWORDS,
     "with_limit($self, name, limit)\n--\n\n"},
    {"limits", as_cfunction(policy_limits), METH_NOARGS, "limits($self)\n--\n\n"},
    {"hard_limits", as_cfunction(policy_hard_limits), METH_NOARGS, "hard_limits($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot policy_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(policy_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(policy_dealloc)},
    {Py_tp_doc, const_cast<char*>("ResourcePolicy()\n--\n\n")},
    {Py_tp_methods, policy_methods},
    {0, nullptr},
};

PyType_Spec policy_spec = {
    "builtins.ResourcePolicy",
    static_cast<int>(sizeof(PolicyObject)),
    0,
    // Immutable: no attribute of the class can be set or deleted from Python.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    policy_slots,
};

}  // namespace

PyObject* resource_policy_type() noexcept {
  if (g_policy_type == nullptr) g_policy_type = PyType_FromSpec(&policy_spec);
  return g_policy_type;
}

bool is_resource_policy(PyObject* object) noexcept {
  return g_policy_type != nullptr &&
         PyType_IsSubtype(Py_TYPE(object), reinterpret_cast<PyTypeObject*>(g_policy_type));
}

const ResourcePolicy& policy_of(PyObject* object) noexcept {
  return reinterpret_cast<PolicyObject*>(object)->policy;
}

bool convert_policy(PyObject* object, const char* name, ResourcePolicy& out) {
  if (object == nullptr || object == Py_None) {
    out = ResourcePolicy();
    return true;
  }
  if (!is_resource_policy(object)) {
    raise_argument_mismatch(object, name, "ResourcePolicy");
    return false;
  }
  out = policy_of(object);
  return true;
}

}  // namespace kavelo::py
