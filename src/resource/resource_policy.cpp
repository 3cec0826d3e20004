#include "resource/resource_policy.hpp"

#include <string>

namespace kavelo {

ResourcePolicy::ResourcePolicy() noexcept {
  for (std::size_t i = 0; i < kResourceCount; ++i) limits_[i] = RESOURCE_SPECS[i].default_limit;
}

ResourcePolicy ResourcePolicy::hard_maxima() noexcept {
  ResourcePolicy policy;
  for (std::size_t i = 0; i < kResourceCount; ++i) policy.limits_[i] = RESOURCE_SPECS[i].hard_max;
  return policy;
}

std::optional<std::uint64_t> ResourcePolicy::limit(std::string_view name) const noexcept {
  if (auto r = find_resource(name)) return limit(*r);
  return std::nullopt;
}

Result<ResourcePolicy> ResourcePolicy::with_limit(std::string_view name,
                                                  std::uint64_t limit) const {
  auto r = find_resource(name);
  if (!r) return std::unexpected(DiceError::unknown_limit(std::string(name)));
  return with_limit(*r, limit);
}

Result<ResourcePolicy> ResourcePolicy::with_signed_limit(std::string_view name,
                                                         std::int64_t limit) const {
  if (limit < 0) return std::unexpected(DiceError::negative_limit(std::string(name)));
  return with_limit(name, static_cast<std::uint64_t>(limit));
}

Result<ResourcePolicy> ResourcePolicy::with_limit(Resource r, std::uint64_t limit) const {
  const ResourceSpec& spec = spec_of(r);
  if (limit > spec.hard_max) {
    return std::unexpected(DiceError::limit_above_hard_max(spec.name, limit, spec.hard_max));
  }
  ResourcePolicy changed = *this;
  changed.limits_[index_of(r)] = limit;
  return changed;
}

}  // namespace kavelo
