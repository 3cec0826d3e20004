#include "random/entropy.hpp"

#include <unistd.h>

namespace kavelo {

namespace {

int fill_from_os(void* /*context*/, std::uint8_t* out, std::size_t len) {
  return ::getentropy(out, len);
}

}  // namespace

EntropySource os_entropy() noexcept { return EntropySource{&fill_from_os, nullptr}; }

}  // namespace kavelo
