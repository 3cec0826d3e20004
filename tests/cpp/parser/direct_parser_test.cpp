// The shortcut for well-formed text against the grammar: whatever the shortcut accepts,
// the grammar accepts with the same tree, and every text the grammar accepts (with its
// numbers in range) the shortcut takes too, so that it actually serves valid input.
#include "parser/direct_parser.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "parser/dice_parser.hpp"
#include "tree_text.hpp"

namespace kavelo {
namespace {

using testing::escaped;
using testing::expression_text;

std::string program_text(const Program& program) {
  std::string out;
  for (NodeId root : program.instructions) out += expression_text(program.pool, root) + ";";
  out += program.comment ? "#" + *program.comment : "#none";
  return out;
}

// Compares the shortcut with the grammar on one text; returns whether the grammar
// accepted it.
bool check_agreement(const std::string& text) {
  const ResourcePolicy policy = ResourcePolicy::hard_maxima();
  Result<Program> reference = parse_program_through_grammar(text, policy);
  Program direct;
  const bool taken = parse_program_directly(text, direct);
  if (taken) {
    EXPECT_TRUE(reference.has_value()) << "shortcut accepted what the grammar refuses: '"
                                       << escaped(text) << "' -> " << reference.error().display();
    if (reference) {
      EXPECT_EQ(program_text(direct), program_text(*reference)) << escaped(text);
      EXPECT_EQ(direct.pool.size(), reference->pool.size()) << escaped(text);
    }
  } else if (reference) {
    ADD_FAILURE() << "the grammar accepts a text the shortcut does not take: '" << escaped(text)
                  << "'";
  }
  return reference.has_value();
}

class DirectParserAgreementTest : public ::testing::TestWithParam<std::string> {};

TEST_P(DirectParserAgreementTest, AgreesWithTheGrammar) { check_agreement(GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    Texts, DirectParserAgreementTest,
    ::testing::Values(
        // Accepted.
        "2d6", "4d6kh3+2", " 1d20 + 5 ", "2 d 6", "2d 6", "4d6kh 3", "4d6 kh3", "4d6k 3",
        "2d6 ! u s", "2d6!e!u", "3d6r1ro2R3a4", "4d6k2kh1kl1dh1dl1K2c6", "2d-6", "-2d6", "0d0",
        "2d6kh-1", "1+2*3", "2--3", "2 - -3", "2 -3", "2*-3", "((1))", "( 1 + ( 2 ) )",
        "1d6 # roll it", "1d6 # note; 2d6", "1d6;2d6", "1d6 ; 2d6 # c\r", "\t1d6\r\n", "1d6#",
        "1d6 #  ", "1d6 ## x #", "2^3^2", "10/3", "0", "-0", "9223372036854775807",
        "-9223372036854775808", "2147483647d2147483647", "-2147483648d6", "1d6 r 1", "1d6ro 2",
        "7 # \xe4\xb8\xad", "1d6 # a\r(b", "1 d6", "1d6 e", "1d6\ne",
        // Refused (the grammar reports them).
        "", " ", "d6", "2d", "2dd6", "2D6", "1 0", "- 3", "-(1d6)", "007", "1d6;", ";1d6",
        "1d6;;2d6", "1d6 # a\n2d6", "1d6\n2d6", "2d6e5", "2d6!5", "2d6u3", "2d6r", "2d6ro", "2d6k",
        "2d6kh", "2d6dx", "2d6d6", "4d6kh 3x", "(1", "1)", "()", "1+", "+1", "1++2",
        "9223372036854775808", "2147483648d6", "2d2147483648", "4d6kh99999999999",
        "4d6ro99999999999", "2d6 r o2", "2d6 k h3", "#", "1d6\x00", "'1'", "1d6 # a\n", "1.5",
        "1d6 d", "r1", "1dh6"));

// Random texts over the language's tokens and a few foreign characters.
TEST(DirectParserRandomTest, TokenSoup) {
  const std::vector<std::string> tokens = {
      "1", "2",  "0",           "6", "20", "-",  "d",  "d6", "2d6",         "+", "*", "/",
      "^", "(",  ")",           " ", "\t", "\n", "\r", ";",  "#",           "!", "e", "K",
      "r", "ro", "R",           "a", "k",  "kh", "kl", "dh", "dl",          "u", "s", "c",
      "3", "-1", "99999999999", "x", "D",  "o",  "h",  "l",  "\xe4\xb8\xad"};
  std::mt19937 rng(20261208);
  int accepted = 0;
  for (int i = 0; i < 200000; ++i) {
    std::string text;
    const int length = 1 + static_cast<int>(rng() % 12);
    for (int t = 0; t < length; ++t) text += tokens[rng() % tokens.size()];
    if (check_agreement(text)) ++accepted;
    if (::testing::Test::HasFailure()) break;
  }
  // The soup must exercise both outcomes.
  EXPECT_GT(accepted, 1000);
}

// Random well-formed programs: every one must take the shortcut with the same tree.
TEST(DirectParserRandomTest, WellFormedPrograms) {
  std::mt19937 rng(7);
  const std::vector<std::string> modifiers = {"!",   "e",   "K2",  "r1",  "ro1", "R1", "a1", "k2",
                                              "kh2", "kl2", "dh1", "dl1", "u",   "s",  "c6"};
  auto ws = [&]() -> std::string {
    static const char* const spaces[] = {"", "", "", " ", "\t", "\n", "\r\n"};
    return spaces[rng() % 7];
  };
  std::function<std::string(int)> expr = [&](int depth) -> std::string {
    std::string out;
    const int terms = 1 + static_cast<int>(rng() % 4);
    for (int t = 0; t < terms; ++t) {
      if (t > 0) out += ws() + std::string(1, "+-*/^"[rng() % 5]) + ws();
      switch (rng() % 3) {
        case 0: out += std::to_string(static_cast<int>(rng() % 200) - 50); break;
        case 1: {
          out += std::to_string(rng() % 20) + ws() + "d" + ws() + std::to_string(rng() % 30);
          const int count = static_cast<int>(rng() % 4);
          for (int m = 0; m < count; ++m) out += ws() + modifiers[rng() % modifiers.size()];
          break;
        }
        default:
          // Appended piece by piece: `"(" + ws() + ...` draws a false -Wrestrict from g++ 12.
          if (depth < 4) {
            out += '(';
            out += ws();
            out += expr(depth + 1);
            out += ws();
            out += ')';
          } else {
            out += '7';
          }
      }
    }
    return out;
  };
  for (int i = 0; i < 20000; ++i) {
    std::string text = ws() + expr(0);
    const int more = static_cast<int>(rng() % 3);
    for (int j = 0; j < more; ++j) text += ws() + ";" + ws() + expr(0);
    if (rng() % 3 == 0) text += ws() + "# note " + std::to_string(i);
    text += ws();
    ASSERT_TRUE(check_agreement(text)) << escaped(text);
  }
}

TEST(DirectParserTest, ErrorsAndLimitsAreThoseOfTheGrammarPath) {
  // The instruction limit applies to programs the shortcut takes.
  auto limited = ResourcePolicy().with_limit("parsed_instructions", 2);
  ASSERT_TRUE(limited);
  EXPECT_TRUE(DiceParser::parse_program_with_policy("1;2", *limited));
  auto refused = DiceParser::parse_program_with_policy("1;2;3", *limited);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), DiceError::instruction_limit_exceeded(2));
  // An instruction-limit failure before a conversion failure in the text wins, and a
  // conversion failure before the limit wins: the grammar path decides both.
  auto limit_first = DiceParser::parse_program_with_policy("1;2;3;9223372036854775808", *limited);
  ASSERT_FALSE(limit_first);
  EXPECT_EQ(limit_first.error(), DiceError::instruction_limit_exceeded(2));
  auto conversion_first =
      DiceParser::parse_program_with_policy("9223372036854775808;2;3", *limited);
  ASSERT_FALSE(conversion_first);
  EXPECT_EQ(conversion_first.error(), DiceError::parse_error("无效数字"));
}

}  // namespace
}  // namespace kavelo
