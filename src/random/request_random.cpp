#include "random/request_random.hpp"

#include <cerrno>
#include <string>

namespace kavelo {

RequestRandom::RequestRandom(const std::array<std::uint8_t, 32>& key) noexcept
    : key_(chacha12::key_from_bytes(key)) {}

Result<RequestRandom> RequestRandom::from_entropy(EntropySource source) {
  std::array<std::uint8_t, 32> key{};
  if (source.fill(source.context, key.data(), key.size()) != 0) {
    // errno must be read before anything else can change it.
    int error = errno;
    std::string description = error > 0 ? "OS Error: " + std::to_string(error)
                                         : std::string("errno: did not return a positive value");
    return std::unexpected(DiceError::entropy_unavailable(std::move(description)));
  }
  return RequestRandom(key);
}

Result<std::uint64_t> RequestRandom::uniform_below(std::uint64_t n, ExecutionBudget& budget) {
  std::uint64_t value = 0;
  if (!try_uniform_below(n, budget, value)) {
    return std::unexpected(budget.exceeded(Resource::rng_words, 1));
  }
  return value;
}

void RequestRandom::refill() noexcept {
  chacha12::refill_scalar(key_, counter_, buffer_.data());
  counter_ += chacha12::kBlocksPerRefill;
  index_ = 0;
}

}  // namespace kavelo
