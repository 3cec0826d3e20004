// A move-only owner of one Python reference.
#pragma once

#include <Python.h>

#include <utility>

namespace kavelo::py {

class PyRef {
 public:
  PyRef() noexcept = default;
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      reset();
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  ~PyRef() { reset(); }

  // Takes over a new reference (may be null).
  [[nodiscard]] static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  // Adds a reference to a borrowed one.
  [[nodiscard]] static PyRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return PyRef(object);
  }

  [[nodiscard]] PyObject* get() const noexcept { return object_; }
  // Gives the reference to the caller.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  void reset() noexcept { Py_CLEAR(object_); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace kavelo::py
