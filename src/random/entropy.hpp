// Where a request generator's key comes from. The calculator holds one source; the
// default asks the operating system. Tests substitute a fixed key or a failure.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kavelo {

// Fills `len` bytes; returns 0 on success, or -1 with errno describing the failure
// (the contract of getentropy).
using EntropyFill = int (*)(void* context, std::uint8_t* out, std::size_t len);

struct EntropySource {
  EntropyFill fill = nullptr;
  void* context = nullptr;
};

// One getentropy call per fill.
[[nodiscard]] EntropySource os_entropy() noexcept;

}  // namespace kavelo
