// The grammar on its own: which texts `program` accepts, and the parse trees it makes.
#include <gtest/gtest.h>

#include <string>

#include "parser/kavelo/grammar.hpp"
#include "parser/tree_text.hpp"

namespace kavelo::grammar {
namespace {

using kavelo::testing::parse_tree_text;

class ProgramAccepts : public ::testing::TestWithParam<std::string> {};

TEST_P(ProgramAccepts, MatchesTheWholeText) {
  const std::string& text = GetParam();
  auto tree = parse(Rule::Program, text);
  ASSERT_TRUE(tree.has_value()) << render_syntax_error(tree.error());
  ASSERT_EQ(tree->rule(0), Rule::Program);
  EXPECT_EQ(tree->nodes()[0].next, tree->end());  // one top-level node
  EXPECT_EQ(tree->text(0), text);
}

INSTANTIATE_TEST_SUITE_P(Texts, ProgramAccepts,
                         ::testing::Values("2d6", "4d6kh3", "4d6k3", "4d6kh 3", "2 d 6", "2d6!e",
                                           "2d6 ! u s", "1d20 + (2d4 - 1) * 3", "1d6 ; 2d6",
                                           "1d6 # roll it", " \t\r\n1d6 \t\r\n", "-2d6", "2d0",
                                           "0d6", "2--3", "2*-3", "-3", "4d6ro2", "1d6 # note; 2d6",
                                           "1d6 #", "3d6!e!u", "4d6kh-1", "4d6 kh 3 dl 1",
                                           "99999999999999999999999999", "1d6 # a\r",
                                           "1d6 # 中文\r\n", "1d6\n#", "((1))", "( ( 2d6 ) )^2",
                                           "1d6K2r1ro1R1a1k1kh1kl1dh1dl1usc1", "1/0", "0", "-0"));

class ProgramRejects : public ::testing::TestWithParam<std::string> {};

TEST_P(ProgramRejects, ReportsASyntaxError) {
  auto tree = parse(Rule::Program, GetParam());
  ASSERT_FALSE(tree.has_value()) << parse_tree_text(*tree, 0);
  EXPECT_FALSE(tree.error().expected.empty());
  EXPECT_LE(tree.error().position, GetParam().size());
}

INSTANTIATE_TEST_SUITE_P(Texts, ProgramRejects,
                         ::testing::Values("2D6", "d6", "2d", "2dd6", "1 0", "- 3", "-(1d6)",
                                           "1d6;", ";1d6", "1d6;;2d6", "1d6\n2d6", "1d6 # a\n2d6",
                                           "# only", "", "   ", "007", "2d6e5", "2d6!5", "2d6u3",
                                           "2d6s1", "2d6r", "2d6r o2", "2d6k h3", "2d6 k", "(1d6",
                                           "1d6)", "()", "1d6 +", "+1", "1d6 x", "2d6kh3 4", "2d-",
                                           "2d 6 7"));

// Whole parse trees: rule[children], or rule:'text' for a node without children.
struct TreeCase {
  std::string text;
  std::string tree;
};

void PrintTo(const TreeCase& c, std::ostream* out) { *out << kavelo::testing::escaped(c.text); }

class ParseTreeShape : public ::testing::TestWithParam<TreeCase> {};

TEST_P(ParseTreeShape, IsExactly) {
  auto tree = parse(Rule::Program, GetParam().text);
  ASSERT_TRUE(tree.has_value()) << render_syntax_error(tree.error());
  EXPECT_EQ(parse_tree_text(*tree, 0), GetParam().tree);
}

INSTANTIATE_TEST_SUITE_P(
    Trees, ParseTreeShape,
    ::testing::Values(
        TreeCase{"2d6",
                 "program[instruction[dice_expr[dice_term[dice_roll[number:'2' "
                 "dice_sides:'6']]]] EOI:'']"},
        TreeCase{"4d6kh3",
                 "program[instruction[dice_expr[dice_term[dice_roll[number:'4' dice_sides:'6' "
                 "modifiers[modifier[keep_high[number:'3']]]]]]] EOI:'']"},
        TreeCase{"4d6k3",
                 "program[instruction[dice_expr[dice_term[dice_roll[number:'4' dice_sides:'6' "
                 "modifiers[modifier[keep_alias[number:'3']]]]]]] EOI:'']"},
        TreeCase{"2d6!e",
                 "program[instruction[dice_expr[dice_term[dice_roll[number:'2' dice_sides:'6' "
                 "modifiers[modifier[explode:'!'] modifier[explode_alias:'e']]]]]] EOI:'']"},
        TreeCase{"2d6 ! u s",
                 "program[instruction[dice_expr[dice_term[dice_roll[number:'2' dice_sides:'6' "
                 "modifiers[modifier[explode:'!'] modifier[unique:'u'] modifier[sort:'s']]]]]] "
                 "EOI:'']"},
        TreeCase{"4d6ro2",
                 "program[instruction[dice_expr[dice_term[dice_roll[number:'4' dice_sides:'6' "
                 "modifiers[modifier[reroll_once[number:'2']]]]]]] EOI:'']"},
        TreeCase{"1d20 + (2d4 - 1) * 3",
                 "program[instruction[dice_expr[dice_term[dice_roll[number:'1' "
                 "dice_sides:'20']] op:'+' dice_term[paren_expr[dice_expr[dice_term[dice_roll["
                 "number:'2' dice_sides:'4']] op:'-' dice_term[number:'1']]]] op:'*' "
                 "dice_term[number:'3']]] EOI:'']"},
        TreeCase{"1d6 ; 2d6",
                 "program[instruction[dice_expr[dice_term[dice_roll[number:'1' "
                 "dice_sides:'6']]]] instruction[dice_expr[dice_term[dice_roll[number:'2' "
                 "dice_sides:'6']]]] EOI:'']"},
        TreeCase{"1d6 # roll it",
                 "program[instruction[dice_expr[dice_term[dice_roll[number:'1' "
                 "dice_sides:'6']]]] comment:'# roll it' EOI:'']"},
        TreeCase{"1d6 # note; 2d6",
                 "program[instruction[dice_expr[dice_term[dice_roll[number:'1' "
                 "dice_sides:'6']]]] comment:'# note; 2d6' EOI:'']"},
        TreeCase{"2--3",
                 "program[instruction[dice_expr[dice_term[number:'2'] op:'-' "
                 "dice_term[number:'-3']]] EOI:'']"},
        TreeCase{"-2d0",
                 "program[instruction[dice_expr[dice_term[dice_roll[number:'-2' "
                 "dice_sides:'0']]]] EOI:'']"}));

// Implicit whitespace before an optional element stays consumed when the element is
// absent, so the roll's text includes the space; a repetition that fails gives its
// whitespace back, so the expression's text does not.
TEST(ParseTreeText, KeepsWhitespaceSkippedBeforeAnAbsentOptionalElement) {
  const std::string text = "2d6 +1";
  auto tree = parse(Rule::Program, text);
  ASSERT_TRUE(tree.has_value());
  std::string roll;
  std::string term_after_plus;
  for (ParseNodeId id = 0; id < tree->end(); ++id) {
    if (tree->rule(id) == Rule::DiceRoll) roll = tree->text(id);
    if (tree->rule(id) == Rule::DiceTerm && tree->nodes()[id].start == 5) {
      term_after_plus = tree->text(id);
    }
  }
  EXPECT_EQ(roll, "2d6 ");
  EXPECT_EQ(term_after_plus, "1");

  auto chain = parse(Rule::Program, "1+2 ");
  ASSERT_TRUE(chain.has_value());
  EXPECT_EQ(chain->rule(2), Rule::DiceExpr);
  EXPECT_EQ(chain->text(2), "1+2");
  EXPECT_EQ(chain->text(0), "1+2 ");
}

// The comment runs to the line feed, carriage returns included.
TEST(ParseTreeText, CommentKeepsCarriageReturnsAndStopsAtLineFeed) {
  const std::string text = "1d6 # a\rb\r\n";
  auto tree = parse(Rule::Program, text);
  ASSERT_TRUE(tree.has_value());
  bool found = false;
  for (ParseNodeId id = 0; id < tree->end(); ++id) {
    if (tree->rule(id) != Rule::Comment) continue;
    EXPECT_EQ(tree->text(id), "# a\rb\r");
    found = true;
  }
  EXPECT_TRUE(found);
}

// Other start rules match a prefix and make their own top-level node.
TEST(StartRule, NumberMatchesAPrefixAsOneAtomicNode) {
  auto tree = parse(Rule::Number, "-120x");
  ASSERT_TRUE(tree.has_value());
  ASSERT_EQ(tree->size(), 1u);
  EXPECT_EQ(tree->text(0), "-120");

  auto dice = parse(Rule::DiceSides, "12");
  ASSERT_TRUE(dice.has_value());
  EXPECT_EQ(parse_tree_text(*dice, 0), "dice_sides:'12'");  // the inner number makes no node

  auto failed = parse(Rule::Number, "- 1");
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().expected, std::vector<Rule>{Rule::Number});
}

// 256 nested parentheses (the largest depth the limits admit) parse; one more level is
// refused by the parser's own guard rather than by running out of stack.
TEST(Nesting, ParsesTheDeepestAdmittedNestingAndGuardsBeyond) {
  const std::string deep = std::string(256, '(') + "1" + std::string(256, ')');
  auto tree = parse(Rule::Program, deep);
  ASSERT_TRUE(tree.has_value());
  const std::string deeper = std::string(257, '(') + "1" + std::string(257, ')');
  EXPECT_THROW((void)parse(Rule::Program, deeper), std::length_error);
}

}  // namespace
}  // namespace kavelo::grammar
