#include "support/fixed_entropy.hpp"

#include <cerrno>
#include <cstring>

#include "random/request_random.hpp"
#include "resource/execution_budget.hpp"
#include "resource/resource_policy.hpp"

namespace kavelo::testing {

namespace {

int fill_fixed(void* context, std::uint8_t* out, std::size_t len) {
  auto* fixed = static_cast<FixedKey*>(context);
  ++fixed->fills;
  std::memcpy(out, fixed->key.data(), len < fixed->key.size() ? len : fixed->key.size());
  return 0;
}

int fill_failing(void* context, std::uint8_t*, std::size_t) {
  auto* failing = static_cast<FailingEntropy*>(context);
  ++failing->fills;
  errno = failing->error;
  return -1;
}

}  // namespace

EntropySource FixedKey::source() noexcept { return EntropySource{&fill_fixed, this}; }

EntropySource FailingEntropy::source() noexcept { return EntropySource{&fill_failing, this}; }

KeyBytes test_key(std::uint64_t index) noexcept {
  KeyBytes key{};
  for (std::size_t i = 0; i < 8; ++i) key[i] = static_cast<std::uint8_t>(index >> (8 * i));
  for (std::size_t i = 8; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(0xA5 ^ i);
  return key;
}

std::optional<KeyBytes> find_key_for_faces(std::uint32_t sides,
                                           std::span<const std::uint32_t> faces,
                                           std::uint64_t tries) {
  const ResourcePolicy policy = ResourcePolicy::hard_maxima();
  for (std::uint64_t index = 0; index < tries; ++index) {
    KeyBytes key = test_key(index);
    RequestRandom generator(key);
    ExecutionBudget budget(policy);
    bool match = true;
    for (std::uint32_t face : faces) {
      auto value = generator.uniform_below(sides, budget);
      if (!value || *value + 1 != face) {
        match = false;
        break;
      }
    }
    if (match) return key;
  }
  return std::nullopt;
}

}  // namespace kavelo::testing
