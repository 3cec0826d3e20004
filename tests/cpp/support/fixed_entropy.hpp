// Entropy sources for tests: a fixed key, a failure with a chosen errno, and a search
// for a key whose first die faces are a wanted sequence.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "random/entropy.hpp"

namespace kavelo::testing {

using KeyBytes = std::array<std::uint8_t, 32>;

// Hands out `key` on every fill and counts the fills.
struct FixedKey {
  KeyBytes key{};
  int fills = 0;
  [[nodiscard]] EntropySource source() noexcept;
};

// Fails every fill with -1 and errno set to `error` (which may be 0 or negative).
struct FailingEntropy {
  int error = 0;
  int fills = 0;
  [[nodiscard]] EntropySource source() noexcept;
};

// Key number `index` of a fixed family of test keys.
[[nodiscard]] KeyBytes test_key(std::uint64_t index) noexcept;

// The first key of the family whose generator yields `faces` as its first faces of a
// die with `sides` sides (uniform_below(sides) + 1 per face), trying at most `tries` keys.
[[nodiscard]] std::optional<KeyBytes> find_key_for_faces(std::uint32_t sides,
                                                         std::span<const std::uint32_t> faces,
                                                         std::uint64_t tries = 2'000'000);

}  // namespace kavelo::testing
