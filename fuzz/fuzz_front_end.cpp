// The front end on arbitrary bytes: both entry points, under the default policy and
// under a tight policy derived from the input. The binding only ever hands in valid
// UTF-8, but the parser must not misbehave on anything.
//
// Besides the sanitizers, this checks what the two entry points promise about each
// other and about their limits, and that the shortcut for well-formed text agrees with
// the grammar on every input.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "parser/dice_parser.hpp"
#include "parser/direct_parser.hpp"
#include "resource/execution_budget.hpp"

namespace kavelo::fuzz {
namespace {

bool is_parse_error_kind(const DiceError& error) {
  switch (error.kind()) {
    case DiceErrorKind::ParseError:
    case DiceErrorKind::InstructionLimitExceeded: return true;
    case DiceErrorKind::BudgetExceeded:
      return error.name() == "source_bytes" || error.name() == "parse_depth" ||
             error.name() == "ast_nodes";
    default: return false;
  }
}

bool is_ascii_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

void check_error(const DiceError& error, bool utf8_source) {
  const std::string text = error.display();
  check(is_parse_error_kind(error), "the front end reported an error of evaluation", text);
  // The report quotes a line of the source; it must not cut a character in two.
  if (utf8_source) check(is_valid_utf8(text), "error text of a UTF-8 source is not UTF-8", text);
}

// A tree written out in pre-order with every field, without recursion (left-nested
// chains are as deep as they are long): equal texts mean equal trees.
std::string tree_text(const ExpressionPool& pool, NodeId root) {
  std::string out;
  std::vector<NodeId> pending{root};
  while (!pending.empty()) {
    const ExprNode& node = pool.node(pending.back());
    pending.pop_back();
    out += std::to_string(static_cast<int>(node.kind));
    switch (node.kind) {
      case ExprKind::Number: out += ":" + std::to_string(node.value); break;
      case ExprKind::Dice: {
        out += ":" + std::to_string(node.count) + "d" + std::to_string(node.sides);
        for (const DiceModifier& m : pool.dice(node).modifiers) {
          out += "/" + std::to_string(static_cast<int>(m.kind)) + "=" + std::to_string(m.value);
        }
        break;
      }
      case ExprKind::Paren: pending.push_back(node.left); break;
      case ExprKind::Commented:
        out += ":" + pool.comment(node).value_or("<none>");
        pending.push_back(node.left);
        break;
      default:
        pending.push_back(node.right);
        pending.push_back(node.left);
        break;
    }
    out += ' ';
  }
  return out;
}

std::string program_text(const Program& program) {
  std::string out;
  for (NodeId root : program.instructions) out += tree_text(program.pool, root) + ";";
  return out + "#" + program.comment.value_or("<none>");
}

// The shortcut for well-formed text must give what the grammar and the builders give:
// the same error, or the same tree. And it must take every text the grammar accepts.
void check_shortcut(std::string_view source, const ResourcePolicy& policy,
                    const Result<Program>& program) {
  auto reference = parse_program_through_grammar(source, policy);
  if (!reference) {
    check(!program && program.error() == reference.error(),
          "the shortcut and the grammar disagree on a refused text", reference.error().display());
    return;
  }
  check(program.has_value(), "the shortcut refused a text the grammar accepts",
        program ? "" : program.error().display());
  check(program_text(*program) == program_text(*reference),
        "the shortcut built another tree than the grammar", program_text(*reference));
  Program direct;
  check(parse_program_directly(source, direct), "the shortcut passed over a well-formed text");
}

void run(std::string_view source, const ResourcePolicy& policy, bool utf8_source) {
  auto program = DiceParser::parse_program_with_policy(source, policy);
  auto expression = DiceParser::parse_expression_with_policy(source, policy);
  check_shortcut(source, policy, program);

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
  check(instructions <= policy.limit(Resource::ParsedInstructions),
        "more instructions than parsed_instructions allows");
  std::uint64_t total = 1;
  for (NodeId root : program->instructions) {
    total = saturating_add(saturating_add(total, expression_ast_nodes(program->pool, root)), 1);
  }
  check(total <= policy.limit(Resource::AstNodes), "a program over the ast_nodes limit parsed");
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
    check(program->comment.has_value() &&
              expression.error().kind() == DiceErrorKind::BudgetExceeded &&
              expression.error().name() == "ast_nodes" &&
              expression.error().requested() == total + 1,
          "a one-instruction program failed the expression entry point",
          expression.error().display());
    return;
  }
  check(expression_ast_nodes(expression->pool, expression->root) + 2 <=
            policy.limit(Resource::AstNodes),
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
