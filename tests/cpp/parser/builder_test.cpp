// The expression builder: tree shapes, integer conversion with its messages, comments.
#include <gtest/gtest.h>

#include <string>

#include "parser/decimal.hpp"
#include "parser/dice_parser.hpp"
#include "parser/kavelo/grammar.hpp"
#include "parser/tree_text.hpp"

namespace kavelo {
namespace {

using kavelo::testing::expression_text;

struct ShapeCase {
  std::string text;
  std::string tree;
  std::uint64_t nodes;  // expression_ast_nodes of the tree
};

void PrintTo(const ShapeCase& c, std::ostream* out) { *out << kavelo::testing::escaped(c.text); }

class ExpressionShape : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(ExpressionShape, IsBuiltExactly) {
  const ShapeCase& c = GetParam();
  auto expression = DiceParser::parse_expression_with_policy(c.text, ResourcePolicy());
  ASSERT_TRUE(expression.has_value()) << expression.error().display();
  EXPECT_EQ(expression_text(expression->pool, expression->root), c.tree);
  EXPECT_EQ(expression_ast_nodes(expression->pool, expression->root), c.nodes);
}

INSTANTIATE_TEST_SUITE_P(
    Trees, ExpressionShape,
    ::testing::Values(
        ShapeCase{"7", "7", 1}, ShapeCase{"-7", "-7", 1}, ShapeCase{"2d6", "Dice(2,6)", 1},
        ShapeCase{"2d6+3", "Add(Dice(2,6),3)", 3},
        // No precedence, no right association: chains fold to the left as written.
        ShapeCase{"10-2-3", "Subtract(Subtract(10,2),3)", 5},
        ShapeCase{"2^3^2", "Power(Power(2,3),2)", 5}, ShapeCase{"1+2*3", "Multiply(Add(1,2),3)", 5},
        ShapeCase{"8/4/2", "Divide(Divide(8,4),2)", 5},
        ShapeCase{"1+(2*3)", "Add(1,Paren(Multiply(2,3)))", 6},
        ShapeCase{"1d20 + (2d4 - 1) * 3",
                  "Multiply(Add(Dice(1,20),Paren(Subtract(Dice(2,4),1))),3)", 8},
        ShapeCase{"((1))", "Paren(Paren(1))", 3}, ShapeCase{"2--3", "Subtract(2,-3)", 3},
        ShapeCase{"2*-3", "Multiply(2,-3)", 3},
        // Modifiers in written order, repeats kept, aliases distinct.
        ShapeCase{"4d6kh3", "Dice(4,6,KeepHigh 3)", 2},
        ShapeCase{"4d6k3", "Dice(4,6,KeepAlias 3)", 2},
        ShapeCase{"3d6!e!u", "Dice(3,6,Explode,ExplodeAlias,Explode,Unique)", 5},
        ShapeCase{"4d6kh-1", "Dice(4,6,KeepHigh -1)", 2},
        ShapeCase{"4d6kh1kh2", "Dice(4,6,KeepHigh 1,KeepHigh 2)", 3},
        ShapeCase{"1d6!eK2r3ro4R5a6k7kh8kl9dh10dl11usc12",
                  "Dice(1,6,Explode,ExplodeAlias,ExplodeKeepHigh 2,Reroll 3,RerollOnce "
                  "4,RerollUntil 5,RerollAdd 6,"
                  "KeepAlias 7,KeepHigh 8,KeepLow 9,DropHigh 10,DropLow 11,Unique,Sort,Count 12)",
                  16},
        // Zero and negative counts and sides are left to the roller.
        ShapeCase{"0d6", "Dice(0,6)", 1}, ShapeCase{"2d0", "Dice(2,0)", 1},
        ShapeCase{"-2d-6", "Dice(-2,-6)", 1},
        // Width limits of every field, minimum values included.
        ShapeCase{"9223372036854775807", "9223372036854775807", 1},
        ShapeCase{"-9223372036854775808", "-9223372036854775808", 1},
        ShapeCase{"2147483647d-2147483648", "Dice(2147483647,-2147483648)", 1},
        ShapeCase{"-2147483648d2147483647", "Dice(-2147483648,2147483647)", 1},
        ShapeCase{"1d6kh2147483647dl-2147483648",
                  "Dice(1,6,KeepHigh 2147483647,DropLow -2147483648)", 3},
        // A comment wraps the single expression.
        ShapeCase{"2d6 # fire", "Commented(Dice(2,6),'fire')", 2},
        ShapeCase{"1+2 #  note  ", "Commented(Add(1,2),'note')", 4},
        ShapeCase{"2d6 #", "Dice(2,6)", 1}, ShapeCase{"2d6 # \u3000 ", "Dice(2,6)", 1}));

struct ErrorCase {
  std::string text;
  std::string message;  // after "解析错误: "
};

void PrintTo(const ErrorCase& c, std::ostream* out) { *out << kavelo::testing::escaped(c.text); }

class ConversionError : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ConversionError, FailsWithItsMessage) {
  auto program = DiceParser::parse_program_with_policy(GetParam().text, ResourcePolicy());
  ASSERT_FALSE(program.has_value());
  EXPECT_EQ(program.error(), DiceError::parse_error(GetParam().message));
  EXPECT_EQ(program.error().display(), "解析错误: " + GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, ConversionError,
    ::testing::Values(
        ErrorCase{"9223372036854775808", "无效数字"}, ErrorCase{"-9223372036854775809", "无效数字"},
        ErrorCase{"1+99999999999999999999999", "无效数字"},
        ErrorCase{"2147483648d6", "无效的骰子数量"}, ErrorCase{"-2147483649d6", "无效的骰子数量"},
        ErrorCase{"2d2147483648", "无效的骰子面数"}, ErrorCase{"2d-2147483649", "无效的骰子面数"},
        // The count is converted first, and the first failing modifier wins.
        ErrorCase{"2147483648d2147483648", "无效的骰子数量"},
        ErrorCase{"2147483648d6kh99999999999", "无效的骰子数量"},
        ErrorCase{"2d6kh99999999999r99999999999", "无效的取高数值"},
        ErrorCase{"1d6K2147483648", "无效的ExplodeKeepHigh数值"},
        ErrorCase{"1d6r2147483648", "无效的重投数值"},
        ErrorCase{"1d6ro2147483648", "无效的条件重投数值"},
        ErrorCase{"1d6R2147483648", "无效的直到重投数值"},
        ErrorCase{"1d6a2147483648", "无效的重投并相加数值"},
        ErrorCase{"1d6k2147483648", "无效的取高数值"},
        ErrorCase{"4d6k99999999999", "无效的取高数值"},
        ErrorCase{"1d6kh2147483648", "无效的取高数值"},
        ErrorCase{"1d6kl2147483648", "无效的取低数值"},
        ErrorCase{"1d6dh2147483648", "无效的丢弃高数值"},
        ErrorCase{"1d6dl2147483648", "无效的丢弃低数值"},
        ErrorCase{"1d6c2147483648", "无效的计数数值"},
        ErrorCase{"1d6c-2147483649", "无效的计数数值"},
        ErrorCase{"1d6K-2147483649", "无效的ExplodeKeepHigh数值"},
        ErrorCase{"4d6ro99999999999", "无效的条件重投数值"},
        // A builder failure in a later instruction fails the whole program.
        ErrorCase{"1d6; 2d6; 99999999999999999999", "无效数字"}));

// Every value-bearing modifier takes the full signed 32-bit range.
class ModifierRange : public ::testing::TestWithParam<const char*> {};

TEST_P(ModifierRange, AcceptsBothEndsOfThirtyTwoBits) {
  for (const char* value : {"2147483647", "-2147483648", "0"}) {
    const std::string text = std::string("1d6") + GetParam() + value;
    auto expression = DiceParser::parse_expression_with_policy(text, ResourcePolicy());
    ASSERT_TRUE(expression.has_value()) << text;
    const ExprNode& dice = expression->pool.node(expression->root);
    ASSERT_EQ(dice.kind, ExprKind::Dice);
    ASSERT_EQ(expression->pool.dice(dice).modifiers.size(), 1u);
    EXPECT_EQ(std::to_string(expression->pool.dice(dice).modifiers[0].value), value) << text;
  }
}

INSTANTIATE_TEST_SUITE_P(Letters, ModifierRange,
                         ::testing::Values("K", "r", "ro", "R", "a", "k", "kh", "kl", "dh", "dl",
                                           "c"));

TEST(ParseDecimal, AcceptsSignsAndLeadingZerosWithinTheWidth) {
  EXPECT_EQ(parse_decimal<std::int32_t>("+5"), 5);
  EXPECT_EQ(parse_decimal<std::int32_t>("-0"), 0);
  EXPECT_EQ(parse_decimal<std::int32_t>("0000000000000000000000042"), 42);
  EXPECT_EQ(parse_decimal<std::int32_t>("-00000000000002147483648"), INT32_MIN);
  EXPECT_EQ(parse_decimal<std::int32_t>("+2147483647"), INT32_MAX);
  EXPECT_EQ(parse_decimal<std::int64_t>("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(parse_decimal<std::int64_t>("09223372036854775807"), INT64_MAX);
  for (const char* bad : {"", "+", "-", "+-1", "--1", "1a", " 1", "1 ", "2147483648", "-2147483649",
                          "99999999999999999999999"}) {
    EXPECT_EQ(parse_decimal<std::int32_t>(bad), std::nullopt) << bad;
  }
  EXPECT_EQ(parse_decimal<std::int64_t>("9223372036854775808"), std::nullopt);
  EXPECT_EQ(parse_decimal<std::int64_t>("-9223372036854775809"), std::nullopt);
  EXPECT_EQ(parse_decimal<std::int64_t>("18446744073709551616"), std::nullopt);
}

struct CommentCase {
  std::string text;  // the comment node's text, "#" included
  std::optional<std::string> comment;
};

void PrintTo(const CommentCase& c, std::ostream* out) { *out << kavelo::testing::escaped(c.text); }

class CommentTrimming : public ::testing::TestWithParam<CommentCase> {};

TEST_P(CommentTrimming, RemovesLeadingHashesThenUnicodeWhiteSpace) {
  EXPECT_EQ(DiceParser::parse_comment(GetParam().text), GetParam().comment);
}

INSTANTIATE_TEST_SUITE_P(
    Comments, CommentTrimming,
    ::testing::Values(CommentCase{"## note  ", "note"}, CommentCase{"# #", "#"},
                      CommentCase{"## ", std::nullopt}, CommentCase{"#", std::nullopt},
                      CommentCase{"####", std::nullopt}, CommentCase{"# a # b", "a # b"},
                      CommentCase{"#a#", "a#"}, CommentCase{"#\t\r x \r", "x"},
                      CommentCase{"#\u3000中文\u3000", "中文"},
                      CommentCase{"#  a \u3000 b  ", "a \u3000 b"},
                      CommentCase{"# \u00A0\u2028\u0085", std::nullopt},
                      // Look-alikes that are not White_Space stay: U+00A9, U+200B, U+2060, U+FEFF.
                      CommentCase{"# x\u00A9", "x\u00A9"}, CommentCase{"#\u200B x", "\u200B x"},
                      CommentCase{"# x\u2060", "x\u2060"}, CommentCase{"#\uFEFFx", "\uFEFFx"},
                      // Malformed bytes are kept as they are, never read past.
                      CommentCase{"# \xE3\x80", "\xE3\x80"}, CommentCase{"#\xC2 x", "\xC2 x"}));

// Each of the 25 White_Space characters is trimmed at both ends and kept inside.
class WhiteSpaceCharacter : public ::testing::TestWithParam<const char*> {};

TEST_P(WhiteSpaceCharacter, IsTrimmedAtBothEndsOnly) {
  const std::string ws = GetParam();
  EXPECT_EQ(DiceParser::parse_comment("#" + ws + "a" + ws + "b" + ws + ws), "a" + ws + "b");
  EXPECT_EQ(DiceParser::parse_comment("##" + ws), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(UnicodeWhiteSpace, WhiteSpaceCharacter,
                         ::testing::Values("\t", "\n", "\v", "\f", "\r", " ", "\u0085", "\u00A0",
                                           "\u1680", "\u2000", "\u2001", "\u2002", "\u2003",
                                           "\u2004", "\u2005", "\u2006", "\u2007", "\u2008",
                                           "\u2009", "\u200A", "\u2028", "\u2029", "\u202F",
                                           "\u205F", "\u3000"));

// A build that fails leaves the pool as it was, so nothing of the instruction remains.
TEST(Builder, FailedBuildLeavesThePoolUnchanged) {
  auto tree = grammar::parse(grammar::Rule::Program, "1+2d6kh3+3d6r99999999999");
  ASSERT_TRUE(tree.has_value());
  ExpressionPool pool;
  (void)pool.add_number(5);
  auto built = DiceParser::parse_dice_expr(*tree, 2, pool);  // node 2 is the dice_expr
  ASSERT_FALSE(built.has_value());
  EXPECT_EQ(built.error(), DiceError::parse_error("无效的重投数值"));
  EXPECT_EQ(pool.size(), 1u);
  EXPECT_EQ(pool.modifier_mark(), 0u);
}

// A node of the wrong rule is a fault of the program, not a user error.
TEST(Builder, RejectsANodeOfTheWrongRuleAsAFault) {
  auto tree = grammar::parse(grammar::Rule::Program, "2d6");
  ASSERT_TRUE(tree.has_value());
  ExpressionPool pool;
  EXPECT_THROW((void)DiceParser::parse_dice_expr(*tree, 0, pool), std::logic_error);
  EXPECT_THROW((void)DiceParser::parse_dice_roll(*tree, 1, pool), std::logic_error);
}

}  // namespace
}  // namespace kavelo
