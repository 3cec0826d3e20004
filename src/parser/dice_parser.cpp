// The two entry points of the front end: size and bracket checks, the grammar, the
// builders and the node-count limits, in that order.
#include "parser/dice_parser.hpp"

#include <stdexcept>

#include "parser/direct_parser.hpp"
#include "parser/kavelo/grammar.hpp"
#include "resource/execution_budget.hpp"

namespace kavelo {

namespace {

using grammar::ParseNodeId;
using grammar::ParseTree;
using grammar::Rule;

// Bracket depth over the raw text, before any grammar work. Quoted stretches (closed only
// by their own quote character, with backslash escapes) and comments (from "#" to the
// next CR or LF) are not counted. All the characters that matter are ASCII, which never
// occurs inside a multi-byte UTF-8 sequence, so walking bytes walks the characters.
Status check_bracket_depth(std::string_view source, std::uint64_t limit) {
  std::uint64_t depth = 0;
  char quote = 0;
  bool escaped = false;
  bool in_comment = false;
  for (const char c : source) {
    if (in_comment) {
      if (c == '\n' || c == '\r') in_comment = false;
    } else if (quote != 0) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == quote) {
        quote = 0;
      }
    } else {
      switch (c) {
        case '"':
        case '\'': quote = c; break;
        case '#': in_comment = true; break;
        case '(':
        case '[':
        case '{':
          if (depth >= limit) {
            return std::unexpected(
                DiceError::budget_exceeded(name_of(Resource::ParseDepth), depth, 1, limit));
          }
          ++depth;
          break;
        case ')':
        case ']':
        case '}':
          if (depth > 0) --depth;
          break;
        default: break;
      }
    }
  }
  return {};
}

DiceError nodes_exceeded(std::uint64_t requested, std::uint64_t limit) {
  return DiceError::budget_exceeded(name_of(Resource::AstNodes), 0, requested, limit);
}

// Steps 3 and 4 through the grammar: the parse tree, then each instruction built in
// source order under the instruction limit.
Result<Program> build_through_grammar(std::string_view source, const ResourcePolicy& policy) {
  // 3. Grammar.
  auto parsed = grammar::parse(Rule::Program, source);
  if (!parsed) return std::unexpected(DiceError::syntax_error(render_syntax_error(parsed.error())));
  const ParseTree& tree = *parsed;
  if (tree.size() == 0 || tree.rule(0) != Rule::Program) {
    throw std::logic_error("parse tree does not have the grammar's shape: no program node");
  }

  // Size the pool exactly, so that it is allocated once: one syntax node per dice_term
  // and per op, and a spare for a Commented wrapper.
  std::size_t per_rule[grammar::kRuleCount] = {};
  for (const grammar::ParseNode& node : tree.nodes()) {
    ++per_rule[static_cast<std::size_t>(node.rule)];
  }
  const auto count_of = [&](Rule rule) { return per_rule[static_cast<std::size_t>(rule)]; };
  const std::size_t expression_nodes = count_of(Rule::DiceTerm) + count_of(Rule::Op) + 1;
  const std::size_t instructions = count_of(Rule::Instruction);
  Program program;
  program.pool.reserve(expression_nodes);
  program.instructions.reserve(instructions);

  // 4. Instructions and the comment, in source order.
  const std::uint64_t instruction_limit = policy.limit(Resource::ParsedInstructions);
  for (ParseNodeId child = tree.first_child(0); child != tree.end_of_children(0);
       child = tree.next_sibling(child)) {
    switch (tree.rule(child)) {
      case Rule::Eoi: break;
      case Rule::Comment: program.comment = DiceParser::parse_comment(tree.text(child)); break;
      case Rule::Instruction: {
        if (program.instructions.size() >= instruction_limit) {
          return std::unexpected(DiceError::instruction_limit_exceeded(instruction_limit));
        }
        const ParseNodeId expr = tree.first_child(child);
        if (expr == tree.end_of_children(child)) {
          throw std::logic_error("parse tree does not have the grammar's shape: empty instruction");
        }
        Result<NodeId> built = DiceParser::parse_dice_expr(tree, expr, program.pool);
        if (!built) return std::unexpected(std::move(built.error()));
        program.instructions.push_back(*built);
        break;
      }
      default:
        throw std::logic_error("parse tree does not have the grammar's shape: program child");
    }
  }
  if (program.instructions.empty()) {
    throw std::logic_error("parse tree does not have the grammar's shape: no instruction");
  }

  return program;
}

// The program entry point; `total` receives the final running node total, which the
// expression entry point reuses instead of counting its tree a second time.
Result<Program> parse_program(std::string_view source, const ResourcePolicy& policy,
                              std::uint64_t& total, bool allow_direct = true) {
  // 1. Source size, in bytes.
  const std::uint64_t source_limit = policy.limit(Resource::SourceBytes);
  if (source.size() > source_limit) {
    return std::unexpected(
        DiceError::budget_exceeded(name_of(Resource::SourceBytes), 0, source.size(), source_limit));
  }
  // 2. Bracket depth; this also bounds the recursion of the grammar and the builder.
  KAVELO_TRY(check_bracket_depth(source, policy.limit(Resource::ParseDepth)));

  // 3 and 4. Well-formed text goes straight to the syntax tree; anything else takes
  // the grammar, which yields the exact error (or the same tree).
  Program program;
  if (allow_direct && parse_program_directly(source, program)) {
    // The first instruction beyond the limit is where the grammar path stops.
    const std::uint64_t instruction_limit = policy.limit(Resource::ParsedInstructions);
    if (program.instructions.size() > instruction_limit) {
      return std::unexpected(DiceError::instruction_limit_exceeded(instruction_limit));
    }
  } else {
    program = Program{};
    Result<Program> built = build_through_grammar(source, policy);
    if (!built) return built;
    program = std::move(*built);
  }

  // 5. Running node total: 1 for the program, each tree's nodes plus 1.
  const std::uint64_t node_limit = policy.limit(Resource::AstNodes);
  total = 1;
  for (const NodeId root : program.instructions) {
    total = saturating_add(saturating_add(total, expression_ast_nodes(program.pool, root)), 1);
    if (total > node_limit) return std::unexpected(nodes_exceeded(total, node_limit));
  }
  return program;
}

}  // namespace

Result<Program> parse_program_through_grammar(std::string_view source,
                                              const ResourcePolicy& policy) {
  std::uint64_t total = 0;
  return parse_program(source, policy, total, false);
}

Result<Program> DiceParser::parse_program_with_policy(std::string_view source,
                                                      const ResourcePolicy& policy) {
  std::uint64_t total = 0;
  return parse_program(source, policy, total);
}

Result<Expression> DiceParser::parse_expression_with_policy(std::string_view source,
                                                            const ResourcePolicy& policy) {
  std::uint64_t total = 0;
  Result<Program> program = parse_program(source, policy, total);
  if (!program) return std::unexpected(std::move(program.error()));
  if (program->instructions.size() != 1) {
    return std::unexpected(DiceError::of(ErrorId::ParseOneInstruction));
  }
  Expression expression{std::move(program->pool), program->instructions.front()};
  if (program->comment) {
    expression.root = expression.pool.add_commented(expression.root, std::move(program->comment));
  }
  // The tree's node count plus 2. The program total for its one instruction was
  // 1 + count + 1 (far from saturation: a pool holds fewer than 2^32 nodes), and the
  // Commented wrapper adds one node.
  const std::uint64_t node_limit = policy.limit(Resource::AstNodes);
  const std::uint64_t count = total + (program->comment ? 1 : 0);
  if (count > node_limit) return std::unexpected(nodes_exceeded(count, node_limit));
  return expression;
}

}  // namespace kavelo
