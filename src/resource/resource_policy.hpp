// A set of seventeen limits. Immutable once built: changes make a new policy.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "errors/dice_error.hpp"
#include "resource/resource_spec.hpp"

namespace kavelo {

class ResourcePolicy {
 public:
  // Every limit at its default.
  ResourcePolicy() noexcept;

  // Every limit at its hard maximum (benchmarks and stress tests).
  [[nodiscard]] static ResourcePolicy hard_maxima() noexcept;

  [[nodiscard]] std::uint64_t limit(Resource r) const noexcept { return limits_[index_of(r)]; }
  // The limit for a registered name, nothing for any other text.
  [[nodiscard]] std::optional<std::uint64_t> limit(std::string_view name) const noexcept;

  // A copy with one limit replaced. The name is checked before the value.
  [[nodiscard]] Result<ResourcePolicy> with_limit(std::string_view name, std::uint64_t limit) const;
  // Same, for a limit handed in from outside as a signed number: a negative limit is
  // refused first, whatever the name.
  [[nodiscard]] Result<ResourcePolicy> with_signed_limit(std::string_view name,
                                                         std::int64_t limit) const;
  // Same, for callers inside the core that already know the resource.
  [[nodiscard]] Result<ResourcePolicy> with_limit(Resource r, std::uint64_t limit) const;

  friend bool operator==(const ResourcePolicy&, const ResourcePolicy&) = default;

 private:
  std::array<std::uint64_t, kResourceCount> limits_;
};

}  // namespace kavelo
