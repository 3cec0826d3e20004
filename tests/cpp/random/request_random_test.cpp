// The request generator: known draws and uniform values, the rng_words charge, refills,
// and keying from an entropy source.
#include "random/request_random.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "support/fixed_entropy.hpp"
#include "support/json_reader.hpp"

namespace kavelo {
namespace {

using testing::JsonValue;
using testing::KeyBytes;

const JsonValue& vectors() {
  static const JsonValue data = testing::load_test_json("chacha12_vectors.json");
  return data;
}

KeyBytes key_bytes(std::string_view hex) {
  std::vector<std::uint8_t> bytes = testing::hex_bytes(hex);
  KeyBytes key{};
  EXPECT_EQ(bytes.size(), key.size());
  for (std::size_t i = 0; i < key.size() && i < bytes.size(); ++i) key[i] = bytes[i];
  return key;
}

ExecutionBudget budget_with_rng_words(std::uint64_t limit) {
  auto policy = ResourcePolicy::hard_maxima().with_limit(Resource::RngWords, limit);
  EXPECT_TRUE(policy.has_value());
  return ExecutionBudget(*policy);
}

class GeneratorVectorTest : public ::testing::TestWithParam<std::size_t> {
 protected:
  const JsonValue& entry() const { return vectors()["keys"][GetParam()]; }
  KeyBytes key() const { return key_bytes(entry()["key_hex"].as_string()); }
};

TEST_P(GeneratorVectorTest, DrawsAreTheKeystreamLowWordFirst) {
  RequestRandom generator(key());
  const JsonValue& draws = entry()["draws_u64_hex"];
  ASSERT_EQ(draws.size(), 40u);
  for (std::size_t i = 0; i < draws.size(); ++i) {
    EXPECT_EQ(generator.next_u64(), draws[i].as_hex_u64()) << "draw " << i;
  }
  EXPECT_EQ(generator.block_counter(), entry()["after_40_draws"]["block_counter"].as_u64());
  EXPECT_EQ(generator.index(), entry()["after_40_draws"]["index"].as_u64());
}

TEST_P(GeneratorVectorTest, UniformBelowResultsAndDrawsMatch) {
  RequestRandom generator(key());
  ExecutionBudget budget(ResourcePolicy::hard_maxima());
  const JsonValue& bounds = vectors()["uniform_below_bounds"];
  const JsonValue& expected = entry()["uniform_below"];
  ASSERT_EQ(bounds.size(), expected["results"].size());
  for (std::size_t i = 0; i < bounds.size(); ++i) {
    std::uint64_t words_before = budget.used(Resource::RngWords);
    auto value = generator.uniform_below(bounds[i].as_u64(), budget);
    ASSERT_TRUE(value.has_value()) << "call " << i;
    EXPECT_EQ(*value, expected["results"][i].as_u64()) << "call " << i;
    EXPECT_EQ(budget.used(Resource::RngWords) - words_before,
              expected["draws_per_call"][i].as_u64())
        << "call " << i;
  }
  EXPECT_EQ(budget.used(Resource::RngWords), expected["total_draws"].as_u64());
  EXPECT_EQ(generator.block_counter(), expected["block_counter_after"].as_u64());
  EXPECT_EQ(generator.index(), expected["index_after"].as_u64());
  // Nothing but rng_words is charged by a draw.
  EXPECT_EQ(budget.used(Resource::GeneratedValues), 0u);
  EXPECT_EQ(budget.used(Resource::WorkUnits), 0u);
}

INSTANTIATE_TEST_SUITE_P(Keys, GeneratorVectorTest, ::testing::Values(0u, 1u),
                         [](const ::testing::TestParamInfo<std::size_t>& info) {
                           return vectors()["keys"][info.param]["name"].as_string();
                         });

TEST(RequestRandom, RefillsFourBlocksAtATime) {
  const JsonValue& draws = vectors()["keys"][0]["draws_u64_hex"];
  RequestRandom generator(key_bytes(vectors()["keys"][0]["key_hex"].as_string()));
  // Creating a generator computes nothing yet.
  EXPECT_EQ(generator.block_counter(), 0u);
  EXPECT_EQ(generator.index(), 64u);
  (void)generator.next_u64();
  EXPECT_EQ(generator.block_counter(), 4u);
  EXPECT_EQ(generator.index(), 2u);
  for (int i = 1; i < 32; ++i) (void)generator.next_u64();
  EXPECT_EQ(generator.block_counter(), 4u);
  EXPECT_EQ(generator.index(), 64u);
  // The 33rd draw refills with blocks 4 to 7.
  EXPECT_EQ(generator.next_u64(), draws[32].as_hex_u64());
  EXPECT_EQ(generator.block_counter(), 8u);
  EXPECT_EQ(generator.index(), 2u);
}

// The first stretch starts with its first block alone: whatever the number of draws
// before the rest is needed, and whether the words come one at a time or in a batch,
// the stream is that of plain four-block refills.
TEST(RequestRandom, FirstBlockAloneGivesTheStreamOfFourBlockRefills) {
  const KeyBytes key = testing::test_key(6);
  const chacha12::Key words = chacha12::key_from_bytes(key);
  std::uint32_t stream[3 * chacha12::kRefillWords];
  for (std::uint64_t r = 0; r < 3; ++r) {
    chacha12::refill_scalar(words, r * chacha12::kBlocksPerRefill,
                            stream + r * chacha12::kRefillWords);
  }
  auto expected = [&](std::size_t draw) {
    return stream[2 * draw] | static_cast<std::uint64_t>(stream[2 * draw + 1]) << 32;
  };
  for (std::size_t first = 0; first <= 40; ++first) {
    RequestRandom one_by_one(key);
    RequestRandom batched(key);
    RequestRandom told(key);  // told how many words come: the whole stretch at once
    told.expect_words(first);
    ExecutionBudget budget(ResourcePolicy::hard_maxima());
    std::uint64_t out[96];
    for (std::size_t i = 0; i < first; ++i) {
      ASSERT_EQ(one_by_one.next_u64(), expected(i)) << "draw " << i;
      ASSERT_EQ(told.next_u64(), expected(i)) << "told, draw " << i;
    }
    EXPECT_EQ(told.index(), one_by_one.index());
    EXPECT_EQ(told.block_counter(), one_by_one.block_counter());
    // Bound 2^64 - 1 rejects only the all-ones word: each value is the word itself.
    ASSERT_EQ(batched.fill_uniform_below(~0ull, out, first, budget), first);
    for (std::size_t i = 0; i < first; ++i) ASSERT_EQ(out[i], expected(i)) << "batch " << i;
    EXPECT_EQ(one_by_one.index(), batched.index());
    EXPECT_EQ(one_by_one.block_counter(), first == 0 ? 0u : first <= 32 ? 4u : 8u);
    EXPECT_EQ(one_by_one.index(), first == 0 ? 64u : 2 * ((first - 1) % 32 + 1));
    // Then the rest of the stream, in one batch.
    ASSERT_EQ(one_by_one.fill_uniform_below(~0ull, out, 96 - first, budget), 96 - first);
    for (std::size_t i = first; i < 96; ++i) ASSERT_EQ(out[i - first], expected(i)) << i;
  }
}

// Long bulk draws take sixteen blocks at once where the processor can: the values, the
// words charged and the generator's position afterwards are those of drawing one by one,
// whatever the lengths of the draws, the bound and the rng_words room.
TEST(RequestRandom, LongBulkDrawsMatchDrawingOneByOne) {
  const KeyBytes key = testing::test_key(9);
  const std::size_t lengths[][3] = {
      {1, 300, 5}, {0, 1000, 1}, {64, 64, 700}, {7, 129, 2000}, {33, 511, 77}};
  for (const std::uint64_t bound : {6ull, 20ull, 0xc000000000000001ull}) {
    for (const auto& parts : lengths) {
      for (const std::uint64_t room : {100000ull, 450ull, 1000ull}) {
        RequestRandom bulk(key);
        RequestRandom single(key);
        bulk.expect_words(parts[0] + parts[1] + parts[2]);
        single.expect_words(parts[0] + parts[1] + parts[2]);
        ExecutionBudget bulk_budget = budget_with_rng_words(room);
        ExecutionBudget single_budget = budget_with_rng_words(room);
        for (const std::size_t length : parts) {
          std::vector<std::uint64_t> out(length);
          const std::size_t filled =
              bulk.fill_uniform_below(bound, out.data(), length, bulk_budget);
          std::size_t expected = 0;
          std::uint64_t value = 0;
          while (expected < length && single.try_uniform_below(bound, single_budget, value)) {
            ASSERT_EQ(out[expected], value) << "bound " << bound << " room " << room;
            ++expected;
          }
          ASSERT_EQ(filled, expected) << "bound " << bound << " room " << room;
          ASSERT_EQ(bulk_budget.used(Resource::RngWords), single_budget.used(Resource::RngWords));
          ASSERT_EQ(bulk.block_counter(), single.block_counter());
          ASSERT_EQ(bulk.index(), single.index());
        }
        EXPECT_EQ(bulk.next_u64(), single.next_u64());
      }
    }
  }
}

// Summing draws what filling draws: the same number of values, words charged and
// position afterwards, and the sum of the values filled.
TEST(RequestRandom, SummingDrawsWhatFillingDraws) {
  const KeyBytes key = testing::test_key(12);
  for (const std::uint64_t bound : {1ull, 6ull, 20ull, 2147483647ull, 4294967295ull}) {
    for (const std::size_t length : {1u, 31u, 33u, 200u, 5000u}) {
      for (const std::uint64_t room : {100000ull, 1000ull, 40ull}) {
        RequestRandom summing(key);
        RequestRandom filling(key);
        summing.expect_words(length);
        filling.expect_words(length);
        ExecutionBudget sum_budget = budget_with_rng_words(room);
        ExecutionBudget fill_budget = budget_with_rng_words(room);
        std::uint64_t sum = 5;  // added to, not replaced
        const std::size_t summed = summing.sum_uniform_below(bound, length, sum_budget, sum);
        std::vector<std::uint64_t> out(length);
        const std::size_t filled =
            filling.fill_uniform_below(bound, out.data(), length, fill_budget);
        std::uint64_t expected = 5;
        for (std::size_t i = 0; i < filled; ++i) expected += out[i];
        const std::string where =
            std::to_string(bound) + " " + std::to_string(length) + " " + std::to_string(room);
        ASSERT_EQ(summed, filled) << where;
        ASSERT_EQ(sum, expected) << where;
        ASSERT_EQ(sum_budget.used(Resource::RngWords), fill_budget.used(Resource::RngWords));
        ASSERT_EQ(summing.block_counter(), filling.block_counter()) << where;
        ASSERT_EQ(summing.index(), filling.index()) << where;
      }
    }
  }
}

TEST(RequestRandom, BoundOneYieldsZeroAndStillDrawsOneWord) {
  const KeyBytes key = testing::test_key(1);
  RequestRandom generator(key);
  RequestRandom twin(key);
  ExecutionBudget budget(ResourcePolicy::hard_maxima());
  for (std::uint64_t call = 1; call <= 40; ++call) {
    auto value = generator.uniform_below(1, budget);
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(*value, 0u);
    (void)twin.next_u64();
    EXPECT_EQ(budget.used(Resource::RngWords), call);
    EXPECT_EQ(generator.index(), twin.index());
    EXPECT_EQ(generator.block_counter(), twin.block_counter());
  }
}

TEST(RequestRandom, PowersOfTwoTakeTheLowBitsOfEveryWord) {
  const KeyBytes key = testing::test_key(2);
  for (int pass = 0; pass < 3; ++pass) {
    RequestRandom generator(key);
    RequestRandom twin(key);
    ExecutionBudget budget(ResourcePolicy::hard_maxima());
    for (int bit = 0; bit < 64; ++bit) {
      // Pass 0 walks the powers up, pass 1 down, pass 2 asks for each even power twice.
      int k = pass == 1 ? 63 - bit : (pass == 2 ? bit / 2 * 2 : bit);
      const std::uint64_t n = 1ull << k;
      auto value = generator.uniform_below(n, budget);
      ASSERT_TRUE(value.has_value());
      EXPECT_EQ(*value, twin.next_u64() & (n - 1)) << "n = 2^" << k;
      EXPECT_EQ(budget.used(Resource::RngWords), static_cast<std::uint64_t>(bit) + 1)
          << "a power of two never rejects";
    }
  }
}

// uniform_below against the rejection rule written out with 128-bit arithmetic, for
// bounds that reject often and seldom, changing bound on almost every call.
TEST(RequestRandom, AgreesWithTheRejectionRuleForManyBounds) {
  std::vector<std::uint64_t> bounds;
  for (std::uint64_t n = 1; n <= 300; ++n) bounds.push_back(n);
  for (int k = 1; k < 64; ++k) {
    const std::uint64_t p = 1ull << k;
    for (std::uint64_t n : {p - 1, p + 1, 3 * (p >> 1), p + (p >> 1) + 1}) bounds.push_back(n);
  }
  for (std::uint64_t d = 0; d < 16; ++d) {
    bounds.push_back((1ull << 63) + 1 + d);  // about half of all words rejected
    bounds.push_back(~0ull - d);
    bounds.push_back(0x5555555555555556ull + d);  // just above 2^64 / 3
  }
  std::uint64_t state = 88172645463325252ull;
  for (int i = 0; i < 400; ++i) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    bounds.push_back(state >> (state % 64));
  }
  // Every bound twice in a row, then the whole list again in another order.
  std::vector<std::uint64_t> calls;
  for (std::uint64_t n : bounds) {
    if (n == 0) continue;
    calls.push_back(n);
    calls.push_back(n);
  }
  for (std::size_t i = bounds.size(); i-- > 0;) {
    if (bounds[i] != 0) calls.push_back(bounds[i]);
  }

  const KeyBytes key = testing::test_key(3);
  RequestRandom generator(key);
  RequestRandom twin(key);
  ExecutionBudget budget(ResourcePolicy::hard_maxima());
  std::uint64_t rejections = 0;
  for (std::uint64_t n : calls) {
    const unsigned __int128 two64 = static_cast<unsigned __int128>(1) << 64;
    const unsigned __int128 zone = two64 - two64 % n;
    std::uint64_t expected = 0;
    for (;;) {
      std::uint64_t x = twin.next_u64();
      if (x < zone) {
        expected = x % n;
        break;
      }
      ++rejections;
    }
    auto value = generator.uniform_below(n, budget);
    ASSERT_TRUE(value.has_value());
    ASSERT_EQ(*value, expected) << "n = " << n;
    ASSERT_EQ(generator.index(), twin.index()) << "n = " << n;
    ASSERT_EQ(generator.block_counter(), twin.block_counter()) << "n = " << n;
  }
  EXPECT_GT(rejections, 10u) << "the bounds above 2^63 must exercise rejection";
}

TEST(RequestRandom, RefusedChargeDrawsNothing) {
  // key_00_1f: calls 0-4 of the vector bounds take one word each, call 5 (2^63 + 1)
  // rejects its first word. With 6 words allowed, call 5 is refused after that
  // rejected word, before a seventh draw.
  const KeyBytes key = key_bytes(vectors()["keys"][0]["key_hex"].as_string());
  const JsonValue& bounds = vectors()["uniform_below_bounds"];
  RequestRandom generator(key);
  ExecutionBudget budget = budget_with_rng_words(6);
  for (std::size_t i = 0; i < 5; ++i) {
    ASSERT_TRUE(generator.uniform_below(bounds[i].as_u64(), budget));
  }
  auto refused = generator.uniform_below(bounds[5].as_u64(), budget);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error(), DiceError::budget_exceeded("rng_words", 6, 1, 6));
  EXPECT_EQ(refused.error().display(),
            "[limit.rng_words] 计算预算已耗尽: used 6, requested 1, limit 6");
  EXPECT_EQ(generator.index(), 12u);
  EXPECT_EQ(generator.block_counter(), 4u);

  // A second refusal moves nothing either, and the stream goes on at word 12.
  ASSERT_FALSE(generator.uniform_below(6, budget).has_value());
  EXPECT_EQ(generator.index(), 12u);
  EXPECT_EQ(budget.used(Resource::RngWords), 6u);
  EXPECT_EQ(generator.next_u64(), vectors()["keys"][0]["draws_u64_hex"][6].as_hex_u64());
}

TEST(RequestRandom, ZeroWordsAllowedLeavesTheGeneratorUntouched) {
  RequestRandom generator(testing::test_key(4));
  ExecutionBudget budget = budget_with_rng_words(0);
  auto refused = generator.uniform_below(6, budget);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error(), DiceError::budget_exceeded("rng_words", 0, 1, 0));
  EXPECT_EQ(generator.index(), 64u);
  EXPECT_EQ(generator.block_counter(), 0u);
}

TEST(RequestRandom, FromEntropyKeysWithOneFillOfThirtyTwoBytes) {
  testing::FixedKey fixed{testing::test_key(5)};
  auto generator = RequestRandom::from_entropy(fixed.source());
  ASSERT_TRUE(generator.has_value());
  EXPECT_EQ(fixed.fills, 1);
  RequestRandom direct(fixed.key);
  for (int i = 0; i < 40; ++i) ASSERT_EQ(generator->next_u64(), direct.next_u64());
}

struct EntropyFailureCase {
  int error;
  const char* description;
};

class EntropyFailureTest : public ::testing::TestWithParam<EntropyFailureCase> {};

TEST_P(EntropyFailureTest, ReportsTheOperatingSystemError) {
  testing::FailingEntropy failing{GetParam().error};
  auto generator = RequestRandom::from_entropy(failing.source());
  ASSERT_FALSE(generator.has_value());
  EXPECT_EQ(failing.fills, 1);
  EXPECT_EQ(generator.error().kind(), DiceErrorKind::EntropyUnavailable);
  EXPECT_EQ(generator.error().display(),
            std::string("[random.entropy_unavailable] operating-system entropy is unavailable: ") +
                GetParam().description);
}

INSTANTIATE_TEST_SUITE_P(
    Errno, EntropyFailureTest,
    ::testing::Values(EntropyFailureCase{ENOSYS, "OS Error: 38"},
                      EntropyFailureCase{EIO, "OS Error: 5"}, EntropyFailureCase{1, "OS Error: 1"},
                      EntropyFailureCase{0, "errno: did not return a positive value"},
                      EntropyFailureCase{-7, "errno: did not return a positive value"}),
    [](const ::testing::TestParamInfo<EntropyFailureCase>& info) {
      int error = info.param.error;
      return (error < 0 ? "minus_" : "") + std::to_string(error < 0 ? -error : error);
    });

TEST(RequestRandom, OperatingSystemEntropyGivesEachGeneratorItsOwnKey) {
  auto first = RequestRandom::from_os_entropy();
  auto second = RequestRandom::from_os_entropy();
  ASSERT_TRUE(first.has_value());
  ASSERT_TRUE(second.has_value());
  // Equal first words would take equal keys (or a 2^-128 coincidence).
  EXPECT_NE(std::make_pair(first->next_u64(), first->next_u64()),
            std::make_pair(second->next_u64(), second->next_u64()));
}

}  // namespace
}  // namespace kavelo
