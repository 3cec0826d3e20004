#include "resource/resource_spec.hpp"

namespace kavelo {

namespace {

// For each name length 0..21, the rows with a name of that length (at most 3 share one).
struct LengthBucket {
  std::uint8_t count = 0;
  std::array<std::uint8_t, 4> rows{};
};

constexpr std::size_t kMaxNameLength = 21;

constexpr std::array<LengthBucket, kMaxNameLength + 1> build_buckets() {
  std::array<LengthBucket, kMaxNameLength + 1> buckets{};
  for (std::size_t row = 0; row < RESOURCE_SPECS.size(); ++row) {
    std::size_t len = std::string_view(RESOURCE_SPECS[row].name).size();
    auto& bucket = buckets[len];
    bucket.rows[bucket.count++] = static_cast<std::uint8_t>(row);
  }
  return buckets;
}

constexpr auto kBuckets = build_buckets();

}  // namespace

std::optional<Resource> find_resource(std::string_view name) noexcept {
  if (name.size() > kMaxNameLength) return std::nullopt;
  const LengthBucket& bucket = kBuckets[name.size()];
  for (std::uint8_t i = 0; i < bucket.count; ++i) {
    std::uint8_t row = bucket.rows[i];
    if (name == RESOURCE_SPECS[row].name) return static_cast<Resource>(row);
  }
  return std::nullopt;
}

}  // namespace kavelo
