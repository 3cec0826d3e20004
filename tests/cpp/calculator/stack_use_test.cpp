// The thread stack a request needs: the deepest texts the hard maxima admit are parsed
// and evaluated on a thread whose stack is painted first, and the bytes it touched are
// counted. Parsing and evaluation keep their own stacks for nesting, so the need does
// not grow with the depth of a text.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/mman.h>

#include <cstring>
#include <functional>
#include <string>

#include "calculator/dice_calculator.hpp"
#include "parser/dice_parser.hpp"

namespace kavelo {
namespace {

#if defined(__SANITIZE_ADDRESS__)
// Sanitizer frames are several times larger; the bound only has to show that the use
// does not follow the depth.
constexpr std::size_t kBound = 48 * 1024;
#else
constexpr std::size_t kBound = 16 * 1024;
#endif
constexpr std::size_t kStack = 512 * 1024;
constexpr unsigned char kPaint = 0xA5;

void* run_body(void* body) {
  (*static_cast<std::function<void()>*>(body))();
  return nullptr;
}

// Runs `body` on a new thread with a painted stack of kStack bytes; the bytes touched,
// counted from the top (the thread's own descriptor, kept at the top, included).
std::size_t stack_touched(std::function<void()> body) {
  void* stack = mmap(nullptr, kStack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (stack == MAP_FAILED) {
    ADD_FAILURE() << "mmap failed";
    return kStack;
  }
  std::memset(stack, kPaint, kStack);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstack(&attr, stack, kStack);
  pthread_t thread;
  EXPECT_EQ(pthread_create(&thread, &attr, run_body, &body), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  const auto* bytes = static_cast<const unsigned char*>(stack);
  std::size_t untouched = 0;
  while (untouched < kStack && bytes[untouched] == kPaint) ++untouched;
  munmap(stack, kStack);
  return kStack - untouched;
}

// Parses under the hard maxima and evaluates as an expression (or a 10-sample batch);
// the outcome is its total or its error text.
std::string run(const std::string& text, bool batch) {
  const ResourcePolicy policy = ResourcePolicy::hard_maxima();
  auto expression = DiceParser::parse_expression_with_policy(text, policy);
  if (!expression) return expression.error().display();
  DiceCalculator calculator(policy);
  if (batch) {
    auto results = calculator.evaluate_batch(*expression, 10);
    return results ? std::to_string(results->back().total) : results.error().display();
  }
  auto result = calculator.evaluate_expression(*expression);
  return result ? std::to_string(result->total) : result.error().display();
}

struct DeepCase {
  const char* name;
  std::string text;
  bool batch;
  std::string outcome;  // the total, or the start of the error text
};

void PrintTo(const DeepCase& c, std::ostream* out) { *out << c.name; }

class StackUseTest : public ::testing::TestWithParam<DeepCase> {};

TEST_P(StackUseTest, DoesNotGrowWithDepth) {
  const DeepCase& c = GetParam();
  std::string outcome;
  const std::size_t deep = stack_touched([&] { outcome = run(c.text, c.batch); });
  EXPECT_EQ(outcome.substr(0, c.outcome.size()), c.outcome);
  // The same kind of request on a flat text, for comparison.
  const std::size_t flat = stack_touched([&] { (void)run("1+1", c.batch); });
  EXPECT_LT(deep, kBound) << "flat text: " << flat;
  RecordProperty("stack_bytes", std::to_string(deep));
  RecordProperty("flat_stack_bytes", std::to_string(flat));
}

std::string nested(int depth, const std::string& inner) {
  return std::string(static_cast<std::size_t>(depth), '(') + inner +
         std::string(static_cast<std::size_t>(depth), ')');
}

std::string chain(int terms, const std::string& term, const std::string& op) {
  std::string text = term;
  for (int i = 1; i < terms; ++i) text += op + term;
  return text;
}

INSTANTIATE_TEST_SUITE_P(
    HardMaxima, StackUseTest,
    ::testing::Values(
        DeepCase{"eval_128_deep", nested(127, "1"), false, "1"},
        DeepCase{"batch_128_deep", nested(127, "2"), true, "2"},
        DeepCase{"chain_128_deep", chain(128, "1d1", "+"), false, "128"},
        DeepCase{"power_chain", chain(64, "1", "^4294967295^"), false, "1"},
        DeepCase{"parse_256_then_depth_limit", nested(256, "1"), false, "[limit.nesting_depth]"},
        DeepCase{"grammar_error_256_deep", nested(256, "1 x"), false, "解析错误: "},
        DeepCase{"grammar_error_after_256",
                 std::string(256, '(') + "1" + std::string(255, ')') + "x", false, "解析错误: "},
        DeepCase{"builder_error_256_deep", nested(256, "99999999999999999999"), false,
                 "解析错误: 无效数字"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kavelo
