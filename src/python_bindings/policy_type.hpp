// The Python class ResourcePolicy: an immutable wrapper of one core policy.
#pragma once

#include <Python.h>

#include "resource/resource_policy.hpp"

namespace kavelo::py {

// Creates the type on first use; null with an exception set on failure.
[[nodiscard]] PyObject* resource_policy_type() noexcept;

// True for instances of ResourcePolicy (or a subtype).
[[nodiscard]] bool is_resource_policy(PyObject* object) noexcept;
// The policy held by an instance; `object` must pass is_resource_policy.
[[nodiscard]] const ResourcePolicy& policy_of(PyObject* object) noexcept;

// Converter for an optional policy argument: None or absent gives the default policy.
[[nodiscard]] bool convert_policy(PyObject* object, const char* name, ResourcePolicy& out);

}  // namespace kavelo::py
