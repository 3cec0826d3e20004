// The shape every rolling entry point shares, written once: bind the arguments by the
// signature, take the policy the request runs under, convert each bound argument in
// order, run the request. The module functions and the methods of Kavelo differ only in
// where the policy comes from: a `Lender` with
//   bool acquire(PyObject* self)            false with an exception set
//   const ResourcePolicy& policy() const
//   std::uint64_t source_limit() const
// that holds the policy for the duration of the call.
#pragma once

#include <Python.h>

#include <cstdint>

#include "python_bindings/binding.hpp"
#include "python_bindings/requests.hpp"
#include "resource/resource_policy.hpp"

namespace kavelo::py {

// The defaults, under which the module functions always run.
inline const ResourcePolicy kDefaultPolicy;

// Lends the defaults to a module function's request.
struct DefaultPolicy {
  [[nodiscard]] static bool acquire(PyObject* /*module*/) noexcept { return true; }
  [[nodiscard]] static const ResourcePolicy& policy() noexcept { return kDefaultPolicy; }
  [[nodiscard]] static std::uint64_t source_limit() noexcept {
    return kDefaultPolicy.limit(Resource::SourceBytes);
  }
};

using TextRequest = PyObject* (*)(const ResourcePolicy&, const Utf8Text&);

// (text): roll_dice, run_program, roll, run.
template <class Lender, TextRequest Request>
PyObject* text_entry(const Signature& signature, PyObject* self, PyObject* const* args,
                     Py_ssize_t given, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* bound[1];
    Lender lender;
    Utf8Text text;
    if (!bind_arguments(signature, args, given, kwnames, bound) || !lender.acquire(self) ||
        !convert_source_text(bound[0], signature.parameters[0], lender.source_limit(), text)) {
      return nullptr;
    }
    return Request(lender.policy(), text);
  });
}

// (dice_count, dice_sides): the two roll_simple.
template <class Lender>
PyObject* simple_entry(const Signature& signature, PyObject* self, PyObject* const* args,
                       Py_ssize_t given, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* bound[2];
    Lender lender;
    std::int32_t count = 0;
    std::int32_t sides = 0;
    if (!bind_arguments(signature, args, given, kwnames, bound) || !lender.acquire(self) ||
        !convert_int32(bound[0], signature.parameters[0], count) ||
        !convert_int32(bound[1], signature.parameters[1], sides)) {
      return nullptr;
    }
    return roll_simple_total(lender.policy(), count, sides);
  });
}

}  // namespace kavelo::py
