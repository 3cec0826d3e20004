// Calculators whose generator key is chosen so that the first die faces of the request
// come out as a test wants them.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "calculator/dice_calculator.hpp"
#include "support/fixed_entropy.hpp"

namespace kavelo::testing {

using Groups = std::vector<std::vector<std::int64_t>>;

inline Groups groups_of(const RollGroups& groups) {
  Groups out;
  for (std::size_t g = 0; g < groups.group_count(); ++g) {
    auto group = groups.group(g);
    out.emplace_back(group.begin(), group.end());
  }
  return out;
}

inline DiceModifier mod(ModifierKind kind, std::int32_t value = 0) { return {kind, value}; }

// Rolls a term whose modifier list lives for the duration of the call.
inline Result<RollGroups> roll(DiceCalculator& calculator, std::int32_t count, std::int32_t sides,
                               const std::vector<DiceModifier>& modifiers = {}) {
  return calculator.roll_dice_with_budget({count, sides, modifiers});
}

inline ResourcePolicy policy_with(Resource resource, std::uint64_t limit,
                                  ResourcePolicy base = ResourcePolicy()) {
  auto policy = base.with_limit(resource, limit);
  EXPECT_TRUE(policy.has_value());
  return policy ? *policy : base;
}

// Searches once per (sides, faces) and remembers the key for later tests.
inline KeyBytes key_for_faces(std::uint32_t sides, const std::vector<std::uint32_t>& faces) {
  static std::map<std::pair<std::uint32_t, std::vector<std::uint32_t>>, KeyBytes> found;
  auto it = found.find({sides, faces});
  if (it != found.end()) return it->second;
  auto key = find_key_for_faces(sides, faces);
  EXPECT_TRUE(key.has_value()) << "no test key yields the wanted faces";
  found.emplace(std::make_pair(sides, faces), key.value_or(KeyBytes{}));
  return key.value_or(KeyBytes{});
}

// A calculator keyed so that its request's faces start with `faces`. Not movable: the
// calculator keeps a pointer to the key.
class ScriptedCalculator {
 public:
  ScriptedCalculator(std::uint32_t sides, const std::vector<std::uint32_t>& faces,
                     const ResourcePolicy& policy = ResourcePolicy())
      : key_{key_for_faces(sides, faces)}, calculator_(policy, key_.source()) {}
  explicit ScriptedCalculator(const ResourcePolicy& policy, KeyBytes key = test_key(7))
      : key_{key}, calculator_(policy, key_.source()) {}
  ScriptedCalculator(const ScriptedCalculator&) = delete;
  ScriptedCalculator& operator=(const ScriptedCalculator&) = delete;

  DiceCalculator& operator*() { return calculator_; }
  DiceCalculator* operator->() { return &calculator_; }
  [[nodiscard]] int fills() const { return key_.fills; }
  [[nodiscard]] std::uint64_t used(Resource r) const { return calculator_.budget().used(r); }

 private:
  FixedKey key_;
  DiceCalculator calculator_;
};

}  // namespace kavelo::testing
