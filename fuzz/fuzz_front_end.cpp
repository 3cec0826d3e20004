// The front end on arbitrary bytes: both entry points, under the default policy and
// under a tight policy derived from the input. The binding only ever hands in valid
// UTF-8, but the parser must not misbehave on anything.
//
// Besides the sanitizers, this checks what the two entry points promise about each
// other and about their limits.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "parser/dice_parser.hpp"
#include "resource/execution_budget.hpp"

namespace kavelo::fuzz {
namespace {

bool is_parse_error_kind(const DiceError& error) {
  switch (error.kind()) {
    case DiceErrorKind::ParseError:
    case DiceErrorKind::InstructionLimitExceeded:
      return true;
    case DiceErrorKind::BudgetExceeded:
      return error.name() == "source_bytes" || error.name() == "parse_depth" ||
             error.name() == "ast_nodes";
    default:
      return false;
  }
}

bool is_ascii_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

void check_error(const DiceError& error, bool utf8_source) {
  const std::string text = error.display();
  check(is_parse_error_kind(error), "the front end reported an error of evaluation", text);
  // The report quotes a line of the source; it must not cut a character in two.
  if (utf8_source) check(is_valid_utf8(text), "error text of a UTF-8 source is not UTF-8", text);
}

void run(std::string_view source, const ResourcePolicy& policy, bool utf8_source) {
  auto program = DiceParser::parse_program_with_policy(source, policy);
  auto expression = DiceParser::parse_expression_with_policy(source, policy);

  if (!program) {
    check_error(program.error(), utf8_source);
    // The expression entry point runs the program entry point first.
    check(!expression && expression.error() == program.error(),
          "the expression entry point disagrees with the program entry point",
          program.error().display());
    return;
  }

  const std::size_t instructions = program->instructions.size();
  check(instructions >= 1, "a parsed program has no instruction");
  check(instructions <= policy.limit(Resource::parsed_instructions),
        "more instructions than parsed_instructions allows");
  std::uint64_t total = 1;
  for (NodeId root : program->instructions) {
    total = saturating_add(saturating_add(total, expression_ast_nodes(program->pool, root)), 1);
  }
  check(total <= policy.limit(Resource::ast_nodes), "a program over the ast_nodes limit parsed");
  if (program->comment) {
    // Trimmed: the leading "#" run goes first, then white space at both ends, so a
    // comment such as "#\r#" keeps the "#" that the trimming uncovers.
    const std::string& comment = *program->comment;
    check(!comment.empty() && !is_ascii_space(comment.front()) && !is_ascii_space(comment.back()),
          "a program comment was not trimmed", comment);
  }

  if (instructions != 1) {
    check(!expression && expression.error().kind() == DiceErrorKind::ParseError,
          "several instructions passed the expression entry point");
    return;
  }
  if (!expression) {
    // Only the Commented wrapper's extra node can fail here.
    check(program->comment.has_value() && expression.error().kind() == DiceErrorKind::BudgetExceeded &&
              expression.error().name() == "ast_nodes" && expression.error().requested() == total + 1,
          "a one-instruction program failed the expression entry point",
          expression.error().display());
    return;
  }
  check(expression_ast_nodes(expression->pool, expression->root) + 2 <=
            policy.limit(Resource::ast_nodes),
        "an expression over the ast_nodes limit parsed");
}

}  // namespace
}  // namespace kavelo::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kavelo;
  const std::string_view source(reinterpret_cast<const char*>(data), size);
  const bool utf8 = fuzz::is_valid_utf8(source);
  fuzz::run(source, ResourcePolicy(), utf8);
  fuzz::run(source, fuzz::tight_policy(fuzz::hash_of(source)), utf8);
  return 0;
}
