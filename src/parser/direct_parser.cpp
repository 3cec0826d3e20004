// The direct parser accepts a subset of what the grammar accepts: every text it takes,
// the grammar takes too and builds into the same tree. It mirrors the grammar's choices
// where a choice can still lead to success, and gives up (returns false) at every
// point where the grammar would have to backtrack into a failure, since no context of
// the language can consume the character that stopped it.
#include "parser/direct_parser.hpp"

#include "parser/decimal.hpp"
#include "parser/dice_parser.hpp"
#include "parser/kavelo/grammar.hpp"

namespace kavelo {

namespace {

// The grammar's characters and bracket bound: deeper nesting is left to the grammar,
// which refuses it on its own too.
using grammar::is_digit;
using grammar::is_whitespace;
using grammar::kMaxParenDepth;

class DirectParser {
 public:
  DirectParser(std::string_view source, Program& program) noexcept
      : at_(source.data()), end_(source.data() + source.size()), program_(program) {}

  // program: instruction (";" instruction)* comment? end of text, whitespace anywhere
  // between the elements.
  bool program() {
    skip();
    NodeId root = 0;
    if (!expression(root)) return false;
    program_.instructions.push_back(root);
    for (;;) {
      skip();
      if (!next_is(';')) break;
      ++at_;
      skip();
      if (!expression(root)) return false;
      program_.instructions.push_back(root);
    }
    if (next_is('#')) {
      const char* start = at_;
      while (at_ < end_ && *at_ != '\n') ++at_;
      program_.comment = DiceParser::parse_comment(std::string_view(start, at_ - start));
      skip();
    }
    return at_ == end_;
  }

 private:
  bool next_is(char c) const noexcept { return at_ < end_ && *at_ == c; }

  void skip() noexcept {
    while (at_ < end_ && is_whitespace(*at_)) ++at_;
  }

  // number: "-"? ("0" | "1".."9" digits*), characters adjacent.
  bool number_text(std::string_view& text) noexcept {
    const char* p = at_;
    if (p < end_ && *p == '-') ++p;
    if (p == end_ || !is_digit(*p)) return false;
    if (*p++ != '0') {
      while (p < end_ && is_digit(*p)) ++p;
    }
    text = std::string_view(at_, static_cast<std::size_t>(p - at_));
    at_ = p;
    return true;
  }

  bool number32(std::int32_t& value) noexcept {
    std::string_view text;
    if (!number_text(text)) return false;
    auto converted = parse_decimal<std::int32_t>(text);
    if (!converted) return false;
    value = *converted;
    return true;
  }

  // One dice_expr being folded: the operand so far and the operator after it.
  struct Chain {
    NodeId left = 0;
    ExprKind kind = ExprKind::Add;
    bool has_left = false;
  };

  // dice_expr: a term, then (op term)* folded to the left.
  // dice_term: dice_roll | paren_expr | number
  // The expressions inside parentheses wait on a stack of their own (`open_`), so the
  // nesting depth of the text costs no thread stack.
  bool expression(NodeId& out) {
    Chain chain;
    open_.clear();
    for (;;) {
      // A term: a number or a roll, or "(" which opens an inner expression.
      if (next_is('(')) {
        if (open_.size() >= kMaxParenDepth) return false;
        ++at_;
        skip();
        open_.push_back(chain);
        chain = Chain{};
        continue;
      }
      NodeId term = 0;
      if (!number_or_roll(term)) return false;
      // Fold it in; an operator asks for the next term, anything else ends the
      // innermost expression, whose parenthesis must close here.
      for (;;) {
        chain.left = chain.has_left ? program_.pool.add_binary(chain.kind, chain.left, term) : term;
        chain.has_left = true;
        if (operator_follows(chain.kind)) break;
        if (open_.empty()) {
          out = chain.left;
          return true;
        }
        skip();
        if (!next_is(')')) return false;
        ++at_;
        term = program_.pool.add_paren(chain.left);
        chain = open_.back();
        open_.pop_back();
      }
      // An operator without its operand is a syntax error wherever it stands.
      skip();
    }
  }

  // Takes an operator after optional whitespace; without one, the position stays.
  bool operator_follows(ExprKind& kind) {
    const char* before = at_;
    skip();
    if (at_ != end_) {
      switch (*at_) {
        case '+': kind = ExprKind::Add; break;
        case '-': kind = ExprKind::Subtract; break;
        case '*': kind = ExprKind::Multiply; break;
        case '/': kind = ExprKind::Divide; break;
        case '^': kind = ExprKind::Power; break;
        default: at_ = before; return false;
      }
      ++at_;
      return true;
    }
    at_ = before;
    return false;
  }

  // A number or a dice roll with its modifiers. Not inlined: its locals would otherwise
  // sit in every frame of the recursion through brackets, which goes as deep as the
  // parse_depth limit on the caller's thread stack.
  [[gnu::noinline]] bool number_or_roll(NodeId& out) {
    std::string_view count_text;
    if (!number_text(count_text)) return false;
    const char* after_number = at_;
    skip();
    if (!next_is('d')) {
      at_ = after_number;
      auto value = parse_decimal<std::int64_t>(count_text);
      if (!value) return false;
      out = program_.pool.add_number(*value);
      return true;
    }
    ++at_;
    skip();
    auto count = parse_decimal<std::int32_t>(count_text);
    std::int32_t sides = 0;
    if (!count || !number32(sides)) return false;
    const std::uint32_t modifiers_begin = program_.pool.modifier_mark();
    for (;;) {
      const char* before = at_;
      skip();
      const int outcome = modifier();
      if (outcome < 0) return false;
      if (outcome == 0) {
        at_ = before;
        break;
      }
    }
    out = program_.pool.add_dice(*count, sides, modifiers_begin);
    return true;
  }

  // One modifier, with the grammar's order of alternatives: 1 when one was added, 0
  // when the next character starts none (the roll ends here), -1 when a modifier
  // starts but none can be completed.
  int modifier() {
    if (at_ == end_) return 0;
    const ModifierCandidates& candidates = modifiers_starting_with(*at_);
    if (candidates.count == 0) return 0;
    for (std::size_t k = 0; k < candidates.count; ++k) {
      const ModifierCandidate& candidate = candidates.row[k];
      // The first letter matches; a second one must follow.
      if (candidate.letters == 2 && !(end_ - at_ >= 2 && at_[1] == candidate.second)) continue;
      if (!candidate.takes_value) {
        at_ += candidate.letters;
        program_.pool.add_modifier(DiceModifier{candidate.kind, 0});
        return 1;
      }
      // A letter whose number cannot be read leaves the next alternative to try ("k"
      // before "kh").
      if (valued(candidate.kind, candidate.letters)) return 1;
    }
    return -1;
  }

  // The literal of `letters` characters, whitespace, then a 32-bit number. On failure
  // the position is left where it was, so that the next alternative can be tried.
  bool valued(ModifierKind kind, std::size_t letters) {
    const char* start = at_;
    at_ += letters;
    skip();
    std::int32_t value = 0;
    if (!number32(value)) {
      at_ = start;
      return false;
    }
    program_.pool.add_modifier(DiceModifier{kind, value});
    return true;
  }

  const char* at_;
  const char* const end_;
  Program& program_;
  std::vector<Chain> open_;
};

}  // namespace

bool parse_program_directly(std::string_view source, Program& program) {
  program.pool.reserve(source.size() / 2 + 2);
  return DirectParser(source, program).program();
}

}  // namespace kavelo
