// The block function and every refill path against the known-answer file.
#include "random/chacha12.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/json_reader.hpp"

namespace kavelo {
namespace {

using chacha12::Key;
using chacha12::RefillPath;
using testing::JsonValue;

const JsonValue& vectors() {
  static const JsonValue data = testing::load_test_json("chacha12_vectors.json");
  return data;
}

std::vector<std::uint32_t> le_words(std::string_view hex) {
  std::vector<std::uint8_t> bytes = testing::hex_bytes(hex);
  std::vector<std::uint32_t> words;
  for (std::size_t i = 0; i + 3 < bytes.size(); i += 4) {
    words.push_back(static_cast<std::uint32_t>(bytes[i]) | bytes[i + 1] << 8 | bytes[i + 2] << 16 |
                    static_cast<std::uint32_t>(bytes[i + 3]) << 24);
  }
  return words;
}

Key key_of(std::string_view hex) {
  std::vector<std::uint8_t> bytes = testing::hex_bytes(hex);
  std::array<std::uint8_t, 32> raw{};
  EXPECT_EQ(bytes.size(), raw.size());
  for (std::size_t i = 0; i < raw.size() && i < bytes.size(); ++i) raw[i] = bytes[i];
  return chacha12::key_from_bytes(raw);
}

struct KeystreamCase {
  std::string name;
  Key key;
  std::vector<std::uint32_t> blocks_0_1;  // 32 words
};

// The published vectors and the generator keys: key plus the words of blocks 0 and 1.
std::vector<KeystreamCase> keystream_cases() {
  std::vector<KeystreamCase> cases;
  for (const char* list : {"published_vectors", "keys"}) {
    for (const JsonValue& entry : vectors()[list].items) {
      cases.push_back({entry["name"].as_string(), key_of(entry["key_hex"].as_string()),
                       le_words(entry["keystream_blocks_0_1_hex"].as_string())});
    }
  }
  return cases;
}

struct CarryBlock {
  std::uint64_t counter;
  std::vector<std::uint32_t> words;
};

std::vector<CarryBlock> carry_blocks() {
  std::vector<CarryBlock> blocks;
  for (const JsonValue& entry : vectors()["keys"].items) {
    if (!entry.members.contains("counter_carry")) continue;
    for (const JsonValue& block : entry["counter_carry"]["blocks"].items) {
      std::uint64_t counter = block["counter"].as_u64();
      // The file states the two counter words it used; they must be the 64-bit split.
      EXPECT_EQ(block["word12"].as_hex_u64(), counter & 0xffffffffu);
      EXPECT_EQ(block["word13"].as_hex_u64(), counter >> 32);
      blocks.push_back({counter, le_words(block["block_hex"].as_string())});
    }
  }
  return blocks;
}

Key carry_key() {
  for (const JsonValue& entry : vectors()["keys"].items) {
    if (entry.members.contains("counter_carry")) return key_of(entry["key_hex"].as_string());
  }
  ADD_FAILURE() << "no key with counter_carry blocks";
  return {};
}

TEST(Chacha12Block, MatchesBlocksZeroAndOneOfEveryVector) {
  std::vector<KeystreamCase> cases = keystream_cases();
  ASSERT_EQ(cases.size(), 4u);
  for (const KeystreamCase& c : cases) {
    ASSERT_EQ(c.blocks_0_1.size(), 32u) << c.name;
    std::uint32_t out[32];
    chacha12::block(c.key, 0, out);
    chacha12::block(c.key, 1, out + 16);
    for (std::size_t i = 0; i < 32; ++i) {
      EXPECT_EQ(out[i], c.blocks_0_1[i]) << c.name << " word " << i;
    }
  }
}

TEST(Chacha12Block, CarriesTheCounterIntoWordThirteen) {
  std::vector<CarryBlock> blocks = carry_blocks();
  ASSERT_EQ(blocks.size(), 8u);
  EXPECT_EQ(blocks.front().counter, (1ull << 32) - 4);
  EXPECT_EQ(blocks.back().counter, (1ull << 32) + 3);
  Key key = carry_key();
  for (const CarryBlock& expected : blocks) {
    std::uint32_t out[16];
    chacha12::block(key, expected.counter, out);
    for (std::size_t i = 0; i < 16; ++i) {
      EXPECT_EQ(out[i], expected.words[i]) << "counter " << expected.counter << " word " << i;
    }
  }
}

// The single-block code against the vectors, around the carry into word 13, and against
// the portable block at scattered counters.
TEST(Chacha12SingleBlock, MatchesTheVectorsAndThePortableBlock) {
  for (const KeystreamCase& c : keystream_cases()) {
    std::uint32_t out[32];
    chacha12::single_block(c.key, 0, out);
    chacha12::single_block(c.key, 1, out + 16);
    for (std::size_t i = 0; i < 32; ++i) {
      EXPECT_EQ(out[i], c.blocks_0_1[i]) << c.name << " word " << i;
    }
  }
  const Key key = carry_key();
  for (const CarryBlock& expected : carry_blocks()) {
    std::uint32_t out[16];
    chacha12::single_block(key, expected.counter, out);
    for (std::size_t i = 0; i < 16; ++i) {
      EXPECT_EQ(out[i], expected.words[i]) << "counter " << expected.counter << " word " << i;
    }
  }
  for (std::uint64_t counter : {0ull, 7ull, 0xFFFFFFFFull, 0x123456789ABCDEFull, ~0ull}) {
    std::uint32_t fast[16];
    std::uint32_t portable[16];
    chacha12::single_block(key, counter, fast);
    chacha12::block(key, counter, portable);
    for (std::size_t i = 0; i < 16; ++i) {
      EXPECT_EQ(fast[i], portable[i]) << "counter " << counter << " word " << i;
    }
  }
}

class RefillPathTest : public ::testing::TestWithParam<RefillPath> {
 protected:
  void SetUp() override {
    refill_ = chacha12::refill_function(GetParam());
    if (refill_ == nullptr) {
      GTEST_SKIP() << chacha12::refill_path_name(GetParam()) << " is not available here";
    }
  }

  std::vector<std::uint32_t> refill(const Key& key, std::uint64_t counter) const {
    std::vector<std::uint32_t> out(chacha12::kRefillWords, 0xdeadbeefu);
    refill_(key, counter, out.data());
    return out;
  }

  chacha12::RefillFunction refill_ = nullptr;
};

TEST_P(RefillPathTest, StartsWithBlocksZeroAndOneOfEveryVector) {
  for (const KeystreamCase& c : keystream_cases()) {
    std::vector<std::uint32_t> out = refill(c.key, 0);
    for (std::size_t i = 0; i < 32; ++i) {
      EXPECT_EQ(out[i], c.blocks_0_1[i]) << c.name << " word " << i;
    }
  }
}

TEST_P(RefillPathTest, ReproducesTheBlocksAroundTheCounterCarry) {
  std::vector<CarryBlock> blocks = carry_blocks();
  ASSERT_EQ(blocks.size(), 8u);
  Key key = carry_key();
  // Refills starting at 2^32 - 4 and at 2^32, as a generator would make them.
  for (std::size_t first : {0u, 4u}) {
    std::vector<std::uint32_t> out = refill(key, blocks[first].counter);
    for (std::size_t b = 0; b < 4; ++b) {
      for (std::size_t i = 0; i < 16; ++i) {
        EXPECT_EQ(out[b * 16 + i], blocks[first + b].words[i])
            << "counter " << blocks[first + b].counter << " word " << i;
      }
    }
  }
}

// Every lane of a vector path must carry on its own, also when a refill straddles 2^32
// or wraps at 2^64 at an odd position.
TEST_P(RefillPathTest, AgreesWithTheBlockFunctionAtAnyCounter) {
  const std::uint64_t counters[] = {0,
                                    1,
                                    4,
                                    (1ull << 32) - 3,
                                    (1ull << 32) - 2,
                                    (1ull << 32) - 1,
                                    (5ull << 32) - 1,
                                    0x0123456789abcdefull,
                                    ~0ull - 3,
                                    ~0ull - 1,
                                    ~0ull};
  std::uint64_t state = 0x9e3779b97f4a7c15ull;
  for (int k = 0; k < 4; ++k) {
    Key key{};
    for (std::uint32_t& word : key) {
      state = state * 6364136223846793005ull + 1442695040888963407ull;
      word = static_cast<std::uint32_t>(state >> 32);
    }
    for (std::uint64_t counter : counters) {
      std::vector<std::uint32_t> out = refill(key, counter);
      for (std::uint64_t b = 0; b < 4; ++b) {
        std::uint32_t expected[16];
        chacha12::block(key, counter + b, expected);
        for (std::size_t i = 0; i < 16; ++i) {
          ASSERT_EQ(out[b * 16 + i], expected[i]) << "counter " << counter << " + " << b;
        }
      }
    }
  }
}

// The sixteen-block path: every lane carries its own counter, across 2^32 and 2^64.
TEST(Chacha12Wide, AgreesWithTheBlockFunctionAtAnyCounter) {
  const chacha12::RefillFunction wide = chacha12::wide_refill();
#if defined(__x86_64__)
  EXPECT_EQ(wide != nullptr, static_cast<bool>(__builtin_cpu_supports("avx512f")));
#endif
  if (wide == nullptr) GTEST_SKIP() << "no wide path on this processor";
  const std::uint64_t counters[] = {
      0,          4,        (1ull << 32) - 15, (1ull << 32) - 8, (1ull << 32) - 1, (7ull << 32) - 9,
      ~0ull - 15, ~0ull - 6};
  Key key{};
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = 0x01234567u * (i + 1) ^ 0xa5a5a5a5u;
  for (std::uint64_t counter : counters) {
    std::vector<std::uint32_t> out(chacha12::kWideWords);
    wide(key, counter, out.data());
    for (std::uint64_t b = 0; b < chacha12::kWideBlocks; ++b) {
      std::uint32_t expected[16];
      chacha12::block(key, counter + b, expected);
      for (std::size_t i = 0; i < 16; ++i) {
        ASSERT_EQ(out[b * 16 + i], expected[i]) << "counter " << counter << " + " << b;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllPaths, RefillPathTest, ::testing::ValuesIn(chacha12::kAllRefillPaths),
                         [](const ::testing::TestParamInfo<RefillPath>& info) {
                           return std::string(chacha12::refill_path_name(info.param));
                         });

TEST(Chacha12Dispatch, ChoosesAnAvailablePath) {
  EXPECT_NE(chacha12::fastest_refill(), nullptr);
  EXPECT_EQ(chacha12::fastest_refill(), chacha12::refill_function(chacha12::fastest_refill_path()));
#if defined(__x86_64__)
  EXPECT_NE(chacha12::refill_function(RefillPath::Sse2), nullptr);
  EXPECT_EQ(chacha12::refill_function(RefillPath::Avx2) != nullptr,
            static_cast<bool>(__builtin_cpu_supports("avx2")));
  EXPECT_EQ(chacha12::refill_function(RefillPath::Avx512) != nullptr,
            static_cast<bool>(__builtin_cpu_supports("avx512f")));
  EXPECT_EQ(chacha12::refill_function(RefillPath::Neon), nullptr);
#elif defined(__aarch64__)
  EXPECT_EQ(chacha12::fastest_refill_path(), RefillPath::Neon);
  EXPECT_EQ(chacha12::refill_function(RefillPath::Sse2), nullptr);
#endif
}

}  // namespace
}  // namespace kavelo
