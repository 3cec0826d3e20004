// Syntax error reports, compared whole and byte for byte.
#include <gtest/gtest.h>

#include <string>

#include "parser/dice_parser.hpp"
#include "parser/kavelo/grammar.hpp"
#include "parser/kavelo/syntax_error.hpp"
#include "parser/tree_text.hpp"

namespace kavelo::grammar {
namespace {

struct ReportCase {
  std::string text;
  std::string report;  // the message after "解析错误: "
};

void PrintTo(const ReportCase& c, std::ostream* out) { *out << kavelo::testing::escaped(c.text); }

class SyntaxErrorText : public ::testing::TestWithParam<ReportCase> {};

TEST_P(SyntaxErrorText, IsRenderedExactly) {
  const ReportCase& c = GetParam();
  auto result = DiceParser::parse_program_with_policy(c.text, ResourcePolicy());
  ASSERT_FALSE(result.has_value());
  ASSERT_EQ(result.error().kind(), DiceErrorKind::ParseError);
  EXPECT_EQ(result.error().display(), "解析错误: " + c.report);
}

INSTANTIATE_TEST_SUITE_P(
    Reports, SyntaxErrorText,
    ::testing::Values(
        // Count and "d" without sides.
        ReportCase{"2d", " --> 1:3\n  |\n1 | 2d\n  |   ^---\n  |\n  = expected dice_sides"},
        // Four rules: "a, b, c, or d".
        ReportCase{"2d6 x",
                   " --> 1:5\n  |\n1 | 2d6 x\n  |     ^---\n  |\n"
                   "  = expected EOI, comment, modifier, or op"},
        // Three rules.
        ReportCase{"007",
                   " --> 1:2\n  |\n1 | 007\n  |  ^---\n  |\n  = expected EOI, comment, or op"},
        // Two rules: "a or b".
        ReportCase{"(2d6 x",
                   " --> 1:6\n  |\n1 | (2d6 x\n  |      ^---\n  |\n  = expected modifier or op"},
        // The modifier's number, one character past the letter, beats everything at the letter.
        ReportCase{"2d6k", " --> 1:5\n  |\n1 | 2d6k\n  |     ^---\n  |\n  = expected number"},
        ReportCase{"4d6kh", " --> 1:6\n  |\n1 | 4d6kh\n  |      ^---\n  |\n  = expected number"},
        ReportCase{"2d6r", " --> 1:5\n  |\n1 | 2d6r\n  |     ^---\n  |\n  = expected number"},
        // Alternatives that all fail at one place are replaced by their rule.
        ReportCase{"2d6+", " --> 1:5\n  |\n1 | 2d6+\n  |     ^---\n  |\n  = expected dice_term"},
        ReportCase{"x", " --> 1:1\n  |\n1 | x\n  | ^---\n  |\n  = expected dice_term"},
        ReportCase{"", " --> 1:1\n  |\n1 | \n  | ^---\n  |\n  = expected dice_term"},
        ReportCase{"d6", " --> 1:1\n  |\n1 | d6\n  | ^---\n  |\n  = expected dice_term"},
        ReportCase{"-(1d6)", " --> 1:1\n  |\n1 | -(1d6)\n  | ^---\n  |\n  = expected dice_term"},
        ReportCase{"1d6;", " --> 1:5\n  |\n1 | 1d6;\n  |     ^---\n  |\n  = expected dice_term"},
        ReportCase{"1d6;;2d6",
                   " --> 1:5\n  |\n1 | 1d6;;2d6\n  |     ^---\n  |\n  = expected dice_term"},
        ReportCase{"2dd6", " --> 1:3\n  |\n1 | 2dd6\n  |   ^---\n  |\n  = expected dice_sides"},
        ReportCase{"2D6",
                   " --> 1:2\n  |\n1 | 2D6\n  |  ^---\n  |\n  = expected EOI, comment, or op"},
        ReportCase{"2d6e5",
                   " --> 1:5\n  |\n1 | 2d6e5\n  |     ^---\n  |\n"
                   "  = expected EOI, comment, modifier, or op"},
        // Line feeds move the report to the next line.
        ReportCase{"1d6\n+", " --> 2:2\n  |\n2 | +\n  |  ^---\n  |\n  = expected dice_term"},
        ReportCase{"2d\n", " --> 2:1\n  |\n2 | \n  | ^---\n  |\n  = expected dice_sides"},
        ReportCase{"1d6 # a\n2d6", " --> 2:1\n  |\n2 | 2d6\n  | ^---\n  |\n  = expected EOI"},
        // Chinese text in an earlier line.
        ReportCase{"1d6 # 中文注释\n2d6",
                   " --> 2:1\n  |\n2 | 2d6\n  | ^---\n  |\n  = expected EOI"},
        // Line 10: the margin grows to two spaces.
        ReportCase{"1d6+\n\n\n\n\n\n\n\n\nx",
                   "  --> 10:1\n   |\n10 | x\n   | ^---\n   |\n   = expected dice_term"},
        ReportCase{
            "1;\n2;\n3;\n4;\n5;\n6;\n7;\n8;\n9;\n10;\n11 12",
            "  --> 11:4\n   |\n11 | 11 12\n   |    ^---\n   |\n   = expected EOI, comment, or op"},
        // Tabs before the caret are copied into the underline.
        ReportCase{"\t2d6\t\tx",
                   " --> 1:7\n  |\n1 | \t2d6\t\tx\n  | \t   \t\t^---\n  |\n"
                   "  = expected EOI, comment, modifier, or op"},
        // CR LF line ends: one break, and never shown.
        ReportCase{
            "2d6\r\nx\r\n",
            " --> 2:1\n  |\n2 | x\n  | ^---\n  |\n  = expected EOI, comment, modifier, or op"},
        ReportCase{"1d6\r\n+\r\n", " --> 3:1\n  |\n3 | \n  | ^---\n  |\n  = expected dice_term"},
        // A lone CR counts as a column but is not shown; the underline stops at the line's end.
        ReportCase{"1d6\r+", " --> 1:6\n  |\n1 | 1d6+\n  |     ^---\n  |\n  = expected dice_term"},
        // ... and the caret stays under the failing character, whatever CRs stand before it.
        ReportCase{"2d\r\r\rx", " --> 1:6\n  |\n1 | 2dx\n  |   ^---\n  |\n  = expected dice_sides"},
        ReportCase{"2d6\r+ x",
                   " --> 1:7\n  |\n1 | 2d6+ x\n  |      ^---\n  |\n  = expected dice_term"},
        ReportCase{"\r\t2d6\r\tx",
                   " --> 1:8\n  |\n1 | \t2d6\tx\n  | \t   \t^---\n  |\n"
                   "  = expected EOI, comment, modifier, or op"}));

// Chinese text before the failure point on the same line cannot come out of the grammar
// (only a comment takes such text, and it runs to the end of its line), so the report is
// built directly: columns and underline count characters, not bytes.
TEST(SyntaxErrorReport, CountsCharactersNotBytes) {
  const std::string source = "中文\tx";
  FailureRecord record;
  record.record_failure(Rule::Op, 7, 0);  // at the "x"
  const SyntaxErrorReport report = build_syntax_error_report(source, record, Rule::Program);
  EXPECT_EQ(report.position, 7u);
  EXPECT_EQ(report.line, 1u);
  EXPECT_EQ(report.column, 4u);
  EXPECT_EQ(render_syntax_error(report),
            " --> 1:4\n  |\n1 | 中文\tx\n  |   \t^---\n  |\n  = expected op");
}

// The expected list is sorted by rule order with duplicates removed.
TEST(SyntaxErrorReport, SortsAndDeduplicatesExpectedRules) {
  FailureRecord record;
  for (Rule rule : {Rule::Op, Rule::Eoi, Rule::Modifier, Rule::Op, Rule::Comment, Rule::Eoi}) {
    record.record_failure(rule, 3, record.attempts_at(3));
  }
  const SyntaxErrorReport report = build_syntax_error_report("2d6", record, Rule::Program);
  EXPECT_EQ(report.expected,
            (std::vector<Rule>{Rule::Eoi, Rule::Comment, Rule::Modifier, Rule::Op}));
}

// The failure record keeps only the furthest position, and a rule whose children left
// exactly one failure at its start defers to that child.
TEST(FailureRecord, KeepsTheFurthestPositionAndThePreciseChild) {
  FailureRecord record;
  record.record_failure(Rule::DiceTerm, 4, 0);
  record.record_failure(Rule::Number, 2, 0);  // behind: ignored
  EXPECT_EQ(record.attempt_position(), 4u);
  EXPECT_EQ(record.expected(), std::vector<Rule>{Rule::DiceTerm});

  // A parent that started at 4 before the child recorded there: mark 1, now 2 -> defer.
  record.record_failure(Rule::Number, 4, 1);
  record.record_failure(Rule::DiceRoll, 4, 1);
  EXPECT_EQ(record.expected(), (std::vector<Rule>{Rule::DiceTerm, Rule::Number}));

  // Two children recorded since the mark: replaced by the parent.
  record.record_failure(Rule::ParenExpr, 4, 2);
  record.record_failure(Rule::Instruction, 4, 1);
  EXPECT_EQ(record.expected(), (std::vector<Rule>{Rule::DiceTerm, Rule::Instruction}));

  record.record_failure(Rule::Eoi, 9, 0);  // further: a new list
  EXPECT_EQ(record.attempt_position(), 9u);
  EXPECT_EQ(record.expected(), std::vector<Rule>{Rule::Eoi});
}

// Rejecting several rules at once leaves the same record as rejecting them one by one,
// behind, at and beyond the furthest position.
TEST(FailureRecord, BulkRejectionsMatchOneByOne) {
  const Rule rules[] = {Rule::Explode, Rule::ExplodeAlias, Rule::Reroll};
  for (std::uint32_t position : {2u, 5u, 8u}) {
    FailureRecord one_by_one;
    FailureRecord bulk;
    for (FailureRecord* record : {&one_by_one, &bulk}) {
      record->record_failure(Rule::Number, 5, 0);
      record->record_failure(Rule::Op, 5, record->attempts_at(5));
    }
    for (Rule rule : rules)
      one_by_one.record_failure(rule, position, one_by_one.attempts_at(position));
    bulk.record_rejections(position, rules, 3);
    EXPECT_EQ(bulk.attempt_position(), one_by_one.attempt_position()) << position;
    EXPECT_EQ(bulk.expected(), one_by_one.expected()) << position;
  }
}

}  // namespace
}  // namespace kavelo::grammar
