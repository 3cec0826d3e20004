// Batches of samples: the output_bytes charge of the whole list, and the memory a batch
// holds while its samples run.
#include <gtest/gtest.h>

#include <malloc.h>

#include <cstdlib>
#include <new>
#include <string>

#include "parser/dice_parser.hpp"
#include "support/roll_fixture.hpp"
#include "types/canonical_json.hpp"

// operator delete below frees what operator new took from malloc.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

// Peak of live heap bytes while tracking is on. Every allocation of the core goes
// through operator new, so this sees what a request holds at its worst moment.
namespace {
bool g_tracking = false;
std::size_t g_live = 0;
std::size_t g_peak = 0;
}  // namespace

void* operator new(std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  if (g_tracking) {
    g_live += malloc_usable_size(p);
    if (g_live > g_peak) g_peak = g_live;
  }
  return p;
}

void operator delete(void* p) noexcept {
  if (p != nullptr && g_tracking) {
    const std::size_t size = malloc_usable_size(p);
    g_live = size < g_live ? g_live - size : 0;
  }
  std::free(p);
}

void operator delete(void* p, std::size_t) noexcept { operator delete(p); }

namespace kavelo {
namespace {

using testing::policy_with;
using testing::ScriptedCalculator;

// Peak heap growth during `body`, in bytes.
template <class Body>
std::size_t peak_heap_growth(Body&& body) {
  g_live = 0;
  g_peak = 0;
  g_tracking = true;
  body();
  g_tracking = false;
  return g_peak;
}

Expression parse(const std::string& text, const ResourcePolicy& policy = ResourcePolicy()) {
  auto expression = DiceParser::parse_expression_with_policy(text, policy);
  EXPECT_TRUE(expression.has_value()) << expression.error().display();
  return std::move(*expression);
}

struct BatchCase {
  const char* text;
  std::uint64_t times;
};

class BatchOutputTest : public ::testing::TestWithParam<BatchCase> {};

// A batch that succeeds charges output_bytes exactly the canonical length of its list.
TEST_P(BatchOutputTest, ChargesTheCanonicalLengthOfTheList) {
  const BatchCase& c = GetParam();
  ScriptedCalculator calculator(ResourcePolicy{});
  Expression expression = parse(c.text);
  auto results = calculator->evaluate_batch(expression, c.times);
  ASSERT_TRUE(results.has_value()) << results.error().display();
  ASSERT_EQ(results->size(), c.times);
  std::string text;
  append_canonical(text, std::span<const DiceResult>(*results));
  EXPECT_EQ(calculator.used(Resource::OutputBytes), text.size());
}

INSTANTIATE_TEST_SUITE_P(Batches, BatchOutputTest,
                         ::testing::Values(BatchCase{"1d6", 0}, BatchCase{"1d6", 1},
                                           BatchCase{"4d6kh3+2 # fire \"hot\"", 7},
                                           BatchCase{"(1+2)*3", 50}));

// The list text of a batch of `times` copies of a long comment is far over the limit.
// The error is the one the whole list would give, and the samples past the limit are
// not kept while the rest run: the batch's memory stays near the output_bytes limit
// instead of growing with the number of samples.
TEST(BatchOutput, RecordsPastTheOutputLimitAreDroppedNotKept) {
  const std::string comment(60000, 'x');
  Expression expression = parse("1 # " + comment);
  constexpr std::uint64_t kTimes = 10000;

  ScriptedCalculator one(ResourcePolicy{});
  ASSERT_TRUE(one->evaluate_batch(expression, 1).has_value());
  const std::uint64_t record = one.used(Resource::OutputBytes) - 2;

  ScriptedCalculator calculator(ResourcePolicy{});
  Result<std::vector<DiceResult>> results;
  const std::size_t peak =
      peak_heap_growth([&] { results = calculator->evaluate_batch(expression, kTimes); });
  ASSERT_FALSE(results.has_value());
  const std::uint64_t limit = ResourcePolicy().limit(Resource::OutputBytes);
  EXPECT_EQ(results.error(), DiceError::budget_exceeded("output_bytes", 0,
                                                        2 + kTimes * record + (kTimes - 1), limit));
  EXPECT_EQ(calculator.used(Resource::ExecutedInstructions), kTimes);
  // Keeping every sample would hold 600 MB of comment copies.
  EXPECT_LT(peak, 2 * limit + (1u << 20));
}

// Dropping the records changes nothing about which error ends the request: a sample
// that fails after the list text has passed the limit still reports its own error.
TEST(BatchOutput, AnErrorOfALaterSampleStillComesFirst) {
  ResourcePolicy policy = policy_with(Resource::OutputBytes, 100);
  policy = policy_with(Resource::ExecutedInstructions, 40, policy);
  Expression expression = parse("3d6 # a comment", policy);
  ScriptedCalculator calculator(policy);
  auto results = calculator->evaluate_batch(expression, 60);
  ASSERT_FALSE(results.has_value());
  EXPECT_EQ(results.error(), DiceError::budget_exceeded("executed_instructions", 40, 1, 40));
}

// The expression text and comment that a dropped sample leaves out still count in the
// reported length.
TEST(BatchOutput, DroppedSamplesCountTheTextsTheyLeaveOut) {
  for (const char* text : {"2d1 # c", "2d1 # \"quoted\\\"", "2d1", "(1+2)*3 # 注释",
                           "1+2+3+4+5+6+7+8*9-10", "(((2d1)))"}) {
    Expression expression = parse(text);
    ScriptedCalculator one(ResourcePolicy{});
    ASSERT_TRUE(one->evaluate_batch(expression, 1).has_value());
    const std::uint64_t record = one.used(Resource::OutputBytes) - 2;
    ScriptedCalculator calculator(policy_with(Resource::OutputBytes, 3 * record));
    auto results = calculator->evaluate_batch(expression, 20);
    ASSERT_FALSE(results.has_value()) << text;
    EXPECT_EQ(results.error().requested(), 2 + 20 * record + 19) << text;
  }
}

}  // namespace
}  // namespace kavelo
