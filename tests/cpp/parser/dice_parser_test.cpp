// The entry points: parse limits in their order with exact numbers, the single-expression
// rules, and hostile input.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdint>
#include <random>
#include <string>

#include "parser/dice_parser.hpp"
#include "parser/tree_text.hpp"

namespace kavelo {
namespace {

using kavelo::testing::expression_text;

ResourcePolicy with(const char* name, std::uint64_t limit) {
  return *ResourcePolicy().with_limit(name, limit);
}

DiceError budget(const char* name, std::uint64_t used, std::uint64_t requested,
                 std::uint64_t limit) {
  return DiceError::budget_exceeded(name, used, requested, limit);
}

// ---- Each limit at its value and one past it ----------------------------------------

struct LimitCase {
  const char* name;
  ResourcePolicy policy;
  std::string passes;  // parses under the policy
  std::string fails;   // one step past the limit
  DiceError error;
};

void PrintTo(const LimitCase& c, std::ostream* out) { *out << kavelo::testing::escaped(c.name); }

class ParseLimit : public ::testing::TestWithParam<LimitCase> {};

TEST_P(ParseLimit, PassesAtTheLimitAndFailsOnePast) {
  const LimitCase& c = GetParam();
  auto ok = DiceParser::parse_program_with_policy(c.passes, c.policy);
  EXPECT_TRUE(ok.has_value()) << ok.error().display();
  auto failed = DiceParser::parse_program_with_policy(c.fails, c.policy);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error(), c.error) << failed.error().display();
}

INSTANTIATE_TEST_SUITE_P(
    Limits, ParseLimit,
    ::testing::Values(
        // "1" then spaces, built by append: `"1" + std::string(n, ' ')` draws a false
        // -Wrestrict from g++ 12.
        LimitCase{"source_bytes", ResourcePolicy(), std::string("1").append(65535, ' '),
                  std::string("1").append(65536, ' '), budget("source_bytes", 0, 65537, 65536)},
        // Bytes, not characters: the comment's two Chinese characters are six bytes.
        LimitCase{"source_bytes_utf8", with("source_bytes", 12), "1d6 # 中文", "1d6 # 中文 ",
                  budget("source_bytes", 0, 13, 12)},
        LimitCase{"parse_depth", with("parse_depth", 2), "((1))", "(((1)))",
                  budget("parse_depth", 2, 1, 2)},
        // Every bracket kind counts, matched or not, and the depth never goes below 0.
        LimitCase{"parse_depth_kinds", with("parse_depth", 2), "1 # [{(", "[{(",
                  budget("parse_depth", 2, 1, 2)},
        LimitCase{"parse_depth_floor", with("parse_depth", 2), "(1)+(1)", ")))(((1)))",
                  budget("parse_depth", 2, 1, 2)},
        // A carriage return ends a comment for the pre-scan (not for the grammar).
        LimitCase{"parse_depth_comment", with("parse_depth", 2), "1 # (((\n", "1 # \r(((\n",
                  budget("parse_depth", 2, 1, 2)},
        // Quoted text is not counted; a quote closes only on its own character.
        LimitCase{"parse_depth_quote", with("parse_depth", 1), "(1) # \r'(\\'(' \"((\"\n",
                  "(1) # \r'\\'' ((", budget("parse_depth", 1, 1, 1)},
        LimitCase{"parse_depth_zero", with("parse_depth", 0), "1", "(1)",
                  budget("parse_depth", 0, 1, 0)},
        LimitCase{"parse_depth_default", ResourcePolicy(),
                  std::string(64, '(') + "1" + std::string(64, ')'),
                  std::string(65, '(') + "1" + std::string(65, ')'),
                  budget("parse_depth", 64, 1, 64)},
        LimitCase{"parsed_instructions", with("parsed_instructions", 3), "1;2;3", "1;2;3;4",
                  DiceError::instruction_limit_exceeded(3)},
        // 1 + (1 + 1) * 3 = 7 for three numbers; the running total is reported.
        LimitCase{"ast_nodes", with("ast_nodes", 7), "1;2;3", "1;2;3;4",
                  budget("ast_nodes", 0, 9, 7)},
        LimitCase{"ast_nodes_running", with("ast_nodes", 6), "1;2", "1;2;3;4",
                  budget("ast_nodes", 0, 7, 6)},
        // A roll counts one node per modifier: 1 + (1 + 5) + 1 = 8.
        LimitCase{"ast_nodes_modifiers", with("ast_nodes", 8), "1d6kh1dl1usc1", "1d6kh1dl1usc1!",
                  budget("ast_nodes", 0, 9, 8)}),
    [](const auto& info) { return std::string(info.param.name); });

// With a limit of 0 instructions every program fails at its first instruction.
TEST(ParseLimit, NoInstructionPassesALimitOfZero) {
  auto result = DiceParser::parse_program_with_policy("1d6 # x", with("parsed_instructions", 0));
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), DiceError::instruction_limit_exceeded(0));
}

// ---- The order of the checks -------------------------------------------------------------

struct OrderCase {
  const char* name;
  ResourcePolicy policy;
  std::string text;
  DiceErrorKind kind;
  std::string display_prefix;
};

void PrintTo(const OrderCase& c, std::ostream* out) { *out << kavelo::testing::escaped(c.name); }

class CheckOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(CheckOrder, ReportsTheFirstFailingStep) {
  const OrderCase& c = GetParam();
  auto result = DiceParser::parse_expression_with_policy(c.text, c.policy);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), c.kind);
  EXPECT_EQ(result.error().display().substr(0, c.display_prefix.size()), c.display_prefix);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, CheckOrder,
    ::testing::Values(
        // Size before depth; depth before grammar; grammar before instructions.
        OrderCase{"size_before_depth", with("source_bytes", 4), "(((((",
                  DiceErrorKind::BudgetExceeded, "[limit.source_bytes]"},
        OrderCase{"depth_before_grammar", with("parse_depth", 2), "((((x",
                  DiceErrorKind::BudgetExceeded, "[limit.parse_depth]"},
        OrderCase{"unclosed_quote_hides_brackets", with("parse_depth", 2), "'((((1",
                  DiceErrorKind::ParseError, "解析错误:  --> 1:1"},
        OrderCase{"grammar_before_instructions", with("parsed_instructions", 1), "1;2;",
                  DiceErrorKind::ParseError, "解析错误:  --> 1:5"},
        // In source order: whichever of the instruction limit and a builder failure comes first.
        OrderCase{"builder_before_instruction_limit", with("parsed_instructions", 3),
                  "1;99999999999999999999;3;4;5", DiceErrorKind::ParseError, "解析错误: 无效数字"},
        OrderCase{"instruction_limit_before_builder", with("parsed_instructions", 3),
                  "1;2;3;99999999999999999999", DiceErrorKind::InstructionLimitExceeded,
                  "[limit.parsed_instructions]"},
        OrderCase{"builder_before_nodes", with("ast_nodes", 2), "1+2+99999999999999999999",
                  DiceErrorKind::ParseError, "解析错误: 无效数字"},
        // The program's node check comes before the one-instruction rule.
        OrderCase{"nodes_before_one_instruction", with("ast_nodes", 4), "1;2",
                  DiceErrorKind::BudgetExceeded,
                  "[limit.ast_nodes] 计算预算已耗尽: used 0, requested 5, limit 4"},
        OrderCase{"syntax_before_one_instruction", ResourcePolicy(), "1;",
                  DiceErrorKind::ParseError, "解析错误:  --> 1:3"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- The single-expression entry point ----------------------------------------------

TEST(ExpressionEntry, DemandsExactlyOneInstruction) {
  auto result = DiceParser::parse_expression_with_policy("1d6; 2d6", ResourcePolicy());
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().display(), "解析错误: roll() 只接受一条指令；多条指令请使用 run()");
}

// With a comment the expression needs its nodes + 3 within the limit: 2d6 counts 1, and
// the program check (1 + 1 + 1 = 3) passes at 3 while the Commented check needs 4.
TEST(ExpressionEntry, CommentedWrapperNeedsOneMoreNode) {
  EXPECT_TRUE(DiceParser::parse_expression_with_policy("2d6 # fire", with("ast_nodes", 4)));
  auto failed = DiceParser::parse_expression_with_policy("2d6 # fire", with("ast_nodes", 3));
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error(), budget("ast_nodes", 0, 4, 3));

  EXPECT_TRUE(DiceParser::parse_expression_with_policy("2d6", with("ast_nodes", 3)));
  auto plain = DiceParser::parse_expression_with_policy("2d6", with("ast_nodes", 2));
  ASSERT_FALSE(plain.has_value());
  EXPECT_EQ(plain.error(), budget("ast_nodes", 0, 3, 2));

  // A blank comment adds no wrapper and so no node.
  EXPECT_TRUE(DiceParser::parse_expression_with_policy("2d6 #  ", with("ast_nodes", 3)));
}

// ---- Programs --------------------------------------------------------------------------

TEST(ProgramEntry, CollectsInstructionsInOrderAndTheTrimmedComment) {
  auto program =
      DiceParser::parse_program_with_policy("1d6 ; 2+3 ;4d6kh3 ## note; 2d6 ", ResourcePolicy());
  ASSERT_TRUE(program.has_value());
  ASSERT_EQ(program->instructions.size(), 3u);
  EXPECT_EQ(expression_text(program->pool, program->instructions[0]), "Dice(1,6)");
  EXPECT_EQ(expression_text(program->pool, program->instructions[1]), "Add(2,3)");
  EXPECT_EQ(expression_text(program->pool, program->instructions[2]), "Dice(4,6,KeepHigh 3)");
  EXPECT_EQ(program->comment, std::optional<std::string>("note; 2d6"));

  auto blank = DiceParser::parse_program_with_policy("1 # ", ResourcePolicy());
  ASSERT_TRUE(blank.has_value());
  EXPECT_EQ(blank->comment, std::nullopt);
}

// ---- Hostile input -------------------------------------------------------------------

// Long chains are built, counted and destroyed in loops. Under the default policy a
// 65,536-byte chain of 32,768 ones is built completely before the node limit turns it
// away with the running total 1 + 65,535 + 1.
TEST(HostileInput, FullSizeChainIsBuiltThenRefusedByNodeCount) {
  std::string chain = "1";
  while (chain.size() + 2 <= 65536) chain += "+1";
  chain += ' ';
  ASSERT_EQ(chain.size(), 65536u);
  auto result = DiceParser::parse_expression_with_policy(chain, ResourcePolicy());
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), budget("ast_nodes", 0, 65537, 4096));
}

TEST(HostileInput, FullSizeChainUnderHardMaximaIsNestedToTheLeft) {
  std::string chain = "10";
  while (chain.size() + 3 <= 65536) chain += "-10";
  auto result = DiceParser::parse_expression_with_policy(chain, ResourcePolicy::hard_maxima());
  ASSERT_TRUE(result.has_value()) << result.error().display();
  const std::size_t terms = (chain.size() + 1) / 3;
  EXPECT_EQ(expression_ast_nodes(result->pool, result->root), 2 * terms - 1);
  // Walk down the left spine: every level is a Subtract whose right operand is 10.
  NodeId id = result->root;
  std::size_t depth = 0;
  while (result->pool.node(id).kind == ExprKind::Subtract) {
    ASSERT_EQ(result->pool.node(result->pool.node(id).right).value, 10);
    id = result->pool.node(id).left;
    ++depth;
  }
  EXPECT_EQ(depth, terms - 1);
}

// 256 nested parentheses, the deepest that any policy admits, on a thread with a small
// stack: the grammar and the builder recurse once per level with small frames.
TEST(HostileInput, DeepestNestingFitsASmallStack) {
#if defined(__SANITIZE_ADDRESS__)
  constexpr std::size_t kStack = 4u << 20;  // sanitizer frames are several times larger
#else
  constexpr std::size_t kStack = 256u << 10;
#endif
  struct Outcome {
    bool parsed = false;
    std::string tree_top;
  } outcome;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kStack);
  pthread_t thread;
  auto body = [](void* arg) -> void* {
    auto* out = static_cast<Outcome*>(arg);
    const std::string text = std::string(256, '(') + "4d6kh3+1" + std::string(256, ')');
    auto expression = DiceParser::parse_expression_with_policy(text, ResourcePolicy::hard_maxima());
    out->parsed = expression.has_value();
    if (out->parsed) {
      out->tree_top = std::to_string(expression_ast_nodes(expression->pool, expression->root));
    }
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, body, &outcome), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  EXPECT_TRUE(outcome.parsed);
  EXPECT_EQ(outcome.tree_top, "260");  // 256 Paren + Add + Dice + KeepHigh + 1
}

// Random texts over the language's characters and raw bytes: every one parses or fails
// with a DiceError of the front end; none throws or reads out of bounds (the sanitizer
// build checks the latter).
TEST(HostileInput, RandomTextsParseOrFailCleanly) {
  const std::string alphabet =
      "0123456789dd++--*/^()()[]{}!eKrRakhldusco#;;'\"\\ \t\r\nxD\xe4\xb8\xad\x80\xff";
  std::mt19937 rng(20240601);
  std::size_t parsed = 0;
  for (int i = 0; i < 20000; ++i) {
    const std::size_t length = rng() % 48;
    std::string text;
    for (std::size_t k = 0; k < length; ++k) {
      text += (i % 4 == 3) ? static_cast<char>(rng() & 0xFF) : alphabet[rng() % alphabet.size()];
    }
    Result<Program> result = DiceParser::parse_program_with_policy(text, ResourcePolicy());
    if (result) {
      ++parsed;
      ASSERT_FALSE(result->instructions.empty()) << text;
    } else {
      const DiceErrorKind kind = result.error().kind();
      ASSERT_TRUE(kind == DiceErrorKind::ParseError || kind == DiceErrorKind::BudgetExceeded)
          << text;
      ASSERT_FALSE(result.error().display().empty());
    }
  }
  EXPECT_GT(parsed, 0u);  // the generator does reach valid programs
}

TEST(HostileInput, EveryByteAloneAndAfterAnExpression) {
  for (int b = 0; b < 256; ++b) {
    const std::string byte(1, static_cast<char>(b));
    for (const std::string& text : {byte, "1d6" + byte, "1d6 #" + byte, byte + "\n1"}) {
      auto result = DiceParser::parse_program_with_policy(text, ResourcePolicy());
      if (!result) {
        ASSERT_EQ(result.error().kind(), DiceErrorKind::ParseError) << b;
      }
    }
  }
}

}  // namespace
}  // namespace kavelo
