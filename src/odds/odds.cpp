// The odds of an expression: the distributions of its terms combined from left to
// right, as the roller evaluates them.
//
// The tree is walked with an explicit stack, so the depth of the text never reaches the
// native stack: a chain of a thousand additions is as safe as one.
#include "odds/odds.hpp"

#include <charconv>
#include <cmath>
#include <optional>
#include <string>

#include "errors/error_text.hpp"
#include "parser/dice_parser.hpp"
#include "resource/resource_policy.hpp"

namespace kavelo::odds {

namespace {

bool explodes(const ExpressionPool& pool, const ExprNode& node) {
  if (node.kind != ExprKind::Dice) return false;
  for (const DiceModifier& m : pool.dice(node).modifiers) {
    if (is_explode(m.kind)) return true;
  }
  return false;
}

// A real number as Python writes it: the shortest text that reads back, with ".0" on an
// integral value, and "inf", "-inf" or "nan".
std::string real_text(double x) {
  if (std::isnan(x)) return "nan";
  if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
  char buffer[64];
  const auto written = std::to_chars(buffer, buffer + sizeof buffer, x);
  std::string text(buffer, written.ptr);
  if (text.find_first_not_of("-0123456789") == std::string::npos) text += ".0";
  return text;
}

}  // namespace

OddsError invalid_tolerance(std::string_view shown) {
  const ErrorField fields[] = {{"got", shown}};
  return OddsError{error_text(ErrorId::OddsTolerance, fields)};
}

OddsError invalid_count(std::string_view name, std::string_view shown) {
  const ErrorField fields[] = {{"argument", name}, {"got", shown}};
  return OddsError{error_text(ErrorId::OddsCountArgument, fields)};
}

OddsStatus check_limits(const OddsLimits& limits) {
  // Written so that NaN fails too.
  if (!(limits.tolerance > 0.0 && limits.tolerance < 1.0)) {
    return std::unexpected(invalid_tolerance(real_text(limits.tolerance)));
  }
  if (limits.max_outcomes < 1) return std::unexpected(invalid_count("max_outcomes", "0"));
  if (limits.max_work < 1) return std::unexpected(invalid_count("max_work", "0"));
  return {};
}

OddsResult<Dist> expression_odds(const ExpressionPool& pool, NodeId root, Meter& meter) {
  // The tolerance is shared by the terms whose explosions need cutting.
  std::uint64_t exploding = 0;
  KAVELO_ODDS_TRY(meter.work(static_cast<std::uint64_t>(root - pool.node(root).first) + 1));
  for (NodeId id = pool.node(root).first; id <= root; ++id) {
    if (explodes(pool, pool.node(id))) ++exploding;
  }
  const double term_tolerance = exploding > 0
                                    ? meter.limits().tolerance / static_cast<double>(exploding)
                                    : meter.limits().tolerance;

  struct Frame {
    NodeId id;
    int stage;
    std::optional<Dist> left;
  };
  std::vector<Frame> stack;
  stack.push_back({root, 0, std::nullopt});
  std::optional<Dist> done;  // the result of the frame popped last
  while (!stack.empty()) {
    const std::size_t top = stack.size() - 1;
    const ExprNode& node = pool.node(stack[top].id);
    KAVELO_ODDS_TRY(meter.work(1));
    switch (node.kind) {
      case ExprKind::Number: {
        auto d = Dist::point(node.value, meter);
        if (!d) return d;
        done = std::move(*d);
        stack.pop_back();
        break;
      }
      case ExprKind::Dice: {
        auto d = term_odds(pool.dice(node), term_tolerance, meter);
        if (!d) return d;
        done = std::move(*d);
        stack.pop_back();
        break;
      }
      case ExprKind::Paren:
      case ExprKind::Commented:
        if (stack[top].stage == 0) {
          stack[top].stage = 1;
          stack.push_back({node.left, 0, std::nullopt});
        } else {
          stack.pop_back();
        }
        break;
      default:
        if (stack[top].stage == 0) {
          stack[top].stage = 1;
          stack.push_back({node.left, 0, std::nullopt});
        } else if (stack[top].stage == 1) {
          // A left operand that never gives a total ends every roll before the right
          // one is rolled: the right one is not looked at (it may not even finish).
          if (done->empty()) {
            stack.pop_back();
            break;
          }
          stack[top].left = std::move(done);
          done.reset();
          stack[top].stage = 2;
          stack.push_back({node.right, 0, std::nullopt});
        } else {
          auto d = combine(node.kind, *stack[top].left, *done, meter);
          if (!d) return d;
          done = std::move(*d);
          stack.pop_back();
        }
        break;
    }
  }
  return std::move(*done);
}

OddsResult<OddsReport> compute_odds(std::string_view text, const OddsLimits& limits) {
  KAVELO_ODDS_TRY(check_limits(limits));
  // The front end of the roller under its default parse limits, which bound the text.
  const ResourcePolicy policy;
  auto expression = DiceParser::parse_expression_with_policy(text, policy);
  if (!expression) {
    const DiceError& error = expression.error();
    if (error.id() == ErrorId::ParseOneInstruction) {
      auto program = DiceParser::parse_program_with_policy(text, policy);
      const std::size_t n = program ? program->instructions.size() : 0;
      return std::unexpected(OddsError{DiceError::odds_program(n).display()});
    }
    return std::unexpected(OddsError{error.display()});
  }
  Meter meter(limits);
  auto dist = expression_odds(expression->pool, expression->root, meter);
  if (!dist) return std::unexpected(std::move(dist.error()));
  OddsReport report;
  report.outcomes.assign(dist->values().begin(), dist->values().end());
  report.probabilities.assign(dist->probs().begin(), dist->probs().end());
  report.failures = dist->failures;
  report.truncated = dist->truncated;
  report.work = meter.work_used();
  report.peak_cells = meter.cells_peak();
  return report;
}

}  // namespace kavelo::odds
