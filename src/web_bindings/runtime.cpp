// The C++ runtime pieces of the WebAssembly module that tell JavaScript why it stopped.
//
// The module runs without an exception-handling runtime (the WASI C++ library is built
// without one), so nothing can be caught inside it. An allocation that fails, a throw
// (the core throws only for faults of the program, never for input) and an abort of
// the C++ library each tell the JavaScript side what happened through an import, then
// stop the call with a trap. kavelo.mjs turns the trap into a KaveloFault and starts a
// fresh instance for the next call, since the stopped one may be left half-way.
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <typeinfo>

// Imports of the module (kavelo.mjs): an allocation failed; the program faulted, with a
// message.
extern "C" {
[[clang::import_module("kavelo"), clang::import_name("out_of_memory")]] void
kavelo_js_out_of_memory();
[[clang::import_module("kavelo"), clang::import_name("fault")]] void kavelo_js_fault(
    const char* text, std::uint32_t size);
}

namespace {

[[noreturn]] void out_of_memory() {
  kavelo_js_out_of_memory();
  __builtin_trap();
}

[[noreturn]] void fault(const char* text) {
  kavelo_js_fault(text, static_cast<std::uint32_t>(std::strlen(text)));
  __builtin_trap();
}

void* allocate(std::size_t size) {
  void* memory = std::malloc(size == 0 ? 1 : size);
  if (memory == nullptr) out_of_memory();
  return memory;
}

void* allocate_aligned(std::size_t size, std::align_val_t alignment) {
  const auto align = static_cast<std::size_t>(alignment);
  // aligned_alloc wants a size that is a multiple of the alignment.
  std::size_t rounded = size == 0 ? align : (size + align - 1) / align * align;
  if (rounded < size) out_of_memory();
  void* memory = std::aligned_alloc(align, rounded);
  if (memory == nullptr) out_of_memory();
  return memory;
}

// What a thrown object says about itself: the message of the standard exceptions, the
// type's name otherwise.
const char* describe(void* thrown, const std::type_info& type) {
  if (type == typeid(std::logic_error) || type == typeid(std::length_error) ||
      type == typeid(std::out_of_range) || type == typeid(std::invalid_argument) ||
      type == typeid(std::domain_error)) {
    return static_cast<const std::logic_error*>(thrown)->what();
  }
  if (type == typeid(std::runtime_error) || type == typeid(std::range_error) ||
      type == typeid(std::overflow_error) || type == typeid(std::underflow_error)) {
    return static_cast<const std::runtime_error*>(thrown)->what();
  }
  return type.name();
}

}  // namespace

// The replaceable allocation functions: the nothrow forms too, since the library's own
// ones cannot return null without exceptions. Memory comes from malloc, so the library's
// delete (free) releases it.
void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return std::malloc(size == 0 ? 1 : size);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
  return allocate_aligned(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return allocate_aligned(size, alignment);
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, std::align_val_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::align_val_t) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t, std::align_val_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t, std::align_val_t) noexcept { std::free(memory); }

extern "C" {

// A throw: nothing here can catch it, so it ends the call. std::bad_alloc (which the
// library's containers throw for sizes past what they can hold) is reported as memory
// running out.
void* __cxa_allocate_exception(std::size_t size) noexcept { return allocate(size); }

[[noreturn]] void __cxa_throw(void* thrown, std::type_info* type, void (*)(void*)) {
  if (*type == typeid(std::bad_alloc) || *type == typeid(std::bad_array_new_length)) {
    out_of_memory();
  }
  fault(describe(thrown, *type));
}

}  // extern "C"

namespace std {
inline namespace __1 {
// The C++ library's checks end here (its assertions, and its throws in code built
// without exceptions).
[[noreturn]] void __libcpp_verbose_abort(const char* format, ...) noexcept { fault(format); }
}  // namespace __1
}  // namespace std
