// Shared pieces of the core fuzz targets: a policy and a generator key derived from the
// input, so that every run of one input behaves the same, and the checks that turn a
// broken invariant into a crash libFuzzer keeps.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "errors/dice_error.hpp"
#include "random/entropy.hpp"
#include "resource/resource_policy.hpp"

namespace kavelo::fuzz {

[[noreturn]] inline void fail(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "fuzz invariant broken: %s\n%.*s\n", what, static_cast<int>(detail.size()),
               detail.data());
  std::abort();
}

inline void check(bool ok, const char* what, std::string_view detail = {}) {
  if (!ok) fail(what, detail);
}

// FNV-1a over the input: the seed of everything derived from it.
inline std::uint64_t hash_of(std::string_view data) noexcept {
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (unsigned char c : data) h = (h ^ c) * 0x100000001b3ull;
  return h;
}

// splitmix64: a small stream of numbers from one seed.
struct Stream {
  std::uint64_t state;
  std::uint64_t next() noexcept {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
  std::uint64_t below(std::uint64_t n) noexcept { return n == 0 ? 0 : next() % n; }
};

// A policy no looser than the default: each limit stays at its default, or drops to a
// small value (0 included) or to a fraction of the default. Tight limits make every
// limit error reachable from short inputs, and no input can take longer than it would
// under the default policy.
inline ResourcePolicy tight_policy(std::uint64_t seed) {
  Stream stream{seed};
  ResourcePolicy policy;
  for (std::size_t i = 0; i < kResourceCount; ++i) {
    const auto resource = static_cast<Resource>(i);
    const std::uint64_t current = policy.limit(resource);
    std::uint64_t limit = current;
    switch (stream.below(4)) {
      case 0: break;
      case 1: limit = stream.below(8); break;
      case 2: limit = stream.below(200); break;
      default: limit = current / (1 + stream.below(64)); break;
    }
    if (limit > current) limit = current;
    auto changed = policy.with_limit(resource, limit);
    check(changed.has_value(), "a limit below the default must be accepted");
    policy = *changed;
  }
  return policy;
}

// A generator key from the input: reproducible rolls for every run of one input.
struct DerivedEntropy {
  Stream stream;
  static int fill(void* context, std::uint8_t* out, std::size_t len) {
    auto* self = static_cast<DerivedEntropy*>(context);
    for (std::size_t i = 0; i < len; i += 8) {
      const std::uint64_t word = self->stream.next();
      std::memcpy(out + i, &word, len - i < 8 ? len - i : 8);
    }
    return 0;
  }
  EntropySource source() noexcept { return EntropySource{&fill, this}; }
};

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
inline bool is_valid_utf8(std::string_view text) noexcept {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    std::uint32_t cp = 0;
    std::uint32_t min = 0;
    if ((c & 0xE0) == 0xC0) {
      length = 2, cp = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      length = 3, cp = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      length = 4, cp = c & 0x07, min = 0x10000;
    } else {
      return false;
    }
    if (n - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = cp << 6 | (s[i + k] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

}  // namespace kavelo::fuzz
