#include "parser/kavelo/grammar.hpp"

#include <array>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace kavelo::grammar {

namespace {

class Parser {
 public:
  explicit Parser(std::string_view source)
      : text_(source.data()), size_(static_cast<std::uint32_t>(source.size())) {
    // Programs of short instructions make about 1.5 nodes per byte, operator chains
    // fewer. Reserving that much up front avoids copying the list while it grows.
    nodes_.reserve(static_cast<std::size_t>(size_) * 3 / 2 + 64);
  }

  bool run(Rule start) {
    switch (start) {
      case Rule::Eoi: return eoi();
      case Rule::Whitespace: return whitespace();
      case Rule::Number: return number();
      case Rule::Comment: return comment();
      case Rule::Program: return program();
      case Rule::Instruction: return instruction();
      case Rule::InstructionSeparator: return instruction_separator();
      case Rule::DiceExpr: return dice_expr();
      case Rule::DiceTerm: return dice_term();
      case Rule::ParenExpr: return paren_expr();
      case Rule::DiceRoll: return dice_roll();
      case Rule::DiceSides: return dice_sides();
      case Rule::Modifiers: return modifiers();
      case Rule::Modifier: return modifier();
      case Rule::Explode:
      case Rule::ExplodeAlias:
      case Rule::ExplodeKeepHigh:
      case Rule::Reroll:
      case Rule::RerollOnce:
      case Rule::RerollUntil:
      case Rule::RerollAdd:
      case Rule::KeepAlias:
      case Rule::KeepHigh:
      case Rule::KeepLow:
      case Rule::DropHigh:
      case Rule::DropLow:
      case Rule::Unique:
      case Rule::Sort:
      case Rule::Count: return modifier_alternative(modifier_spec(modifier_kind(start)));
      case Rule::Op: return op();
    }
    return false;
  }

  std::vector<ParseNode>& nodes() noexcept { return nodes_; }
  const FailureRecord& failures() const noexcept { return failures_; }

 private:
  // ---- The one mechanism around every visible rule -----------------------------------
  //
  // A rule body runs between enter() and leave(). enter() takes the failure record's mark
  // and makes the rule's node (unless called from inside an atomic rule); leave() closes
  // the node on a match, or rolls back position and nodes and offers the failure to the
  // record (unless called from inside an atomic rule). Every visible rule is written as
  //   const Attempt attempt = enter(Rule::x);  ...body...  return leave(attempt, matched);
  // Plain code instead of a callback keeps each rule one small stack frame, which matters
  // for the recursion through parentheses.
  struct Attempt {
    std::uint32_t start;
    std::uint32_t node;
    std::uint32_t mark;
    Rule rule;
    bool outer_atomic;
  };

  [[gnu::always_inline]] Attempt enter(Rule rule, bool atomic_rule = false) {
    const Attempt attempt{pos_, static_cast<std::uint32_t>(nodes_.size()),
                          static_cast<std::uint32_t>(failures_.attempts_at(pos_)), rule, atomic_};
    if (!atomic_) nodes_.push_back(ParseNode{pos_, 0, 0, rule});
    if (atomic_rule) atomic_ = true;
    return attempt;
  }

  [[gnu::always_inline]] bool leave(const Attempt& attempt, bool matched) {
    atomic_ = attempt.outer_atomic;
    if (matched) {
      if (!attempt.outer_atomic) {
        nodes_[attempt.node].end = pos_;
        nodes_[attempt.node].next = static_cast<ParseNodeId>(nodes_.size());
      }
      return true;
    }
    pos_ = attempt.start;
    nodes_.resize(attempt.node);
    if (!attempt.outer_atomic) failures_.record_failure(attempt.rule, attempt.start, attempt.mark);
    return false;
  }

  // The same outcome as enter() then leave(attempt, false) for a body that fails on its
  // first character without calling another rule: no node, nothing consumed, and the
  // failure offered to the record with the mark of the current position. Leaf rules use
  // it to turn down a character that cannot start them without touching the node list.
  [[gnu::always_inline]] bool reject(Rule rule) {
    if (!atomic_) failures_.record_failure(rule, pos_, failures_.attempts_at(pos_));
    return false;
  }

  // reject() for each of the first `count` rules in turn, all at the current position.
  void reject_each(const Rule* rules, int count) {
    if (!atomic_ && count > 0) {
      failures_.record_rejections(pos_, rules, static_cast<std::size_t>(count));
    }
  }

  [[gnu::always_inline]] bool next_is(char c) const noexcept {
    return pos_ < size_ && text_[pos_] == c;
  }

  // Start of a sequence that must fail as a whole: position and node count to go back to.
  struct Mark {
    std::uint32_t pos;
    std::uint32_t node;
  };
  [[gnu::always_inline]] Mark mark() const noexcept {
    return {pos_, static_cast<std::uint32_t>(nodes_.size())};
  }
  // Ends a sequence begun at `m`: on failure everything since `m` is undone.
  [[gnu::always_inline]] bool settle(Mark m, bool matched) {
    if (!matched) {
      pos_ = m.pos;
      nodes_.resize(m.node);
    }
    return matched;
  }

  // ---- Literals and implicit whitespace ------------------------------------------------

  bool literal(char c) noexcept {
    if (pos_ < size_ && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  // Implicit whitespace of normal rules: any run of WHITESPACE.
  void skip() noexcept {
    std::uint32_t at = pos_;
    while (at < size_ && is_whitespace(text_[at])) ++at;
    pos_ = at;
  }

  // ---- The rules -----------------------------------------------------------------------

  // EOI: the end of the text.
  [[gnu::noinline]] bool eoi() {
    if (pos_ != size_) return reject(Rule::Eoi);
    const Attempt attempt = enter(Rule::Eoi);
    return leave(attempt, true);
  }

  // WHITESPACE (silent): " " | "\t" | "\n" | "\r".
  bool whitespace() noexcept {
    if (pos_ < size_ && is_whitespace(text_[pos_])) {
      ++pos_;
      return true;
    }
    return false;
  }

  // number (atomic): "-"? ("0" | "1".."9" ("0".."9")*)
  [[gnu::noinline]] bool number() {
    if (pos_ == size_ || (text_[pos_] != '-' && !is_digit(text_[pos_]))) {
      return reject(Rule::Number);
    }
    const Attempt attempt = enter(Rule::Number, true);
    literal('-');
    bool matched = literal('0');
    if (!matched && pos_ < size_ && text_[pos_] >= '1' && text_[pos_] <= '9') {
      ++pos_;
      while (pos_ < size_ && is_digit(text_[pos_])) ++pos_;
      matched = true;
    }
    return leave(attempt, matched);
  }

  // comment (atomic): "#" and everything up to, not including, the next "\n".
  [[gnu::noinline]] bool comment() {
    if (!next_is('#')) return reject(Rule::Comment);
    const Attempt attempt = enter(Rule::Comment, true);
    ++pos_;
    const void* found = std::memchr(text_ + pos_, '\n', size_ - pos_);
    pos_ = found ? static_cast<std::uint32_t>(static_cast<const char*>(found) - text_) : size_;
    return leave(attempt, true);
  }

  // program: SOI instruction (instruction_separator instruction)* comment? EOI
  bool program() {
    const Attempt attempt = enter(Rule::Program);
    bool matched = pos_ == 0;  // SOI
    if (matched) {
      skip();
      matched = instruction();
    }
    if (matched) {
      skip();
      // The first repetition directly, each further one after implicit whitespace; a
      // failed repetition gives back its whitespace too.
      if (separated_instruction()) {
        while (true) {
          const Mark m = mark();
          skip();
          if (!settle(m, separated_instruction())) break;
        }
      }
      skip();
      comment();
      skip();
      matched = eoi();
    }
    return leave(attempt, matched);
  }

  // The group (instruction_separator instruction) of `program`, as one sequence.
  bool separated_instruction() {
    const Mark m = mark();
    bool matched = instruction_separator();
    if (matched) {
      skip();
      matched = instruction();
    }
    return settle(m, matched);
  }

  // instruction: dice_expr
  [[gnu::noinline]] bool instruction() {
    const Attempt attempt = enter(Rule::Instruction);
    return leave(attempt, dice_expr());
  }

  // instruction_separator (silent): ";"
  bool instruction_separator() noexcept { return literal(';'); }

  // dice_expr: dice_term (op dice_term)*
  // dice_term: dice_roll | paren_expr | number
  // paren_expr: "(" dice_expr ")"
  //
  // These three rules make the recursion through parentheses. They run as one loop over
  // an explicit stack with one frame per open dice_expr, so a text nested as deep as the
  // parse_depth limit allows needs no more of the thread's stack than a flat one. The
  // rules are attempted, and their nodes and failures recorded, in exactly the order of
  // the recursive definition above.

  // What a frame stands for, and so where its result goes when it ends.
  enum class FrameKind : std::uint8_t {
    Expression,   // the dice_expr its caller asked for: its result ends the loop
    Term,         // a dice_term run on its own: the first finished dice_term ends the loop
    Nested,       // the dice_expr inside "(" ... ")" of a dice_term
    Parenthesis,  // the same for a paren_expr run on its own: its result ends the loop
  };

  // One open dice_expr: its attempt, where it is in "dice_term (op dice_term)*", and,
  // when a parenthesis opened it, the attempts of that paren_expr and its dice_term.
  struct ExprFrame {
    FrameKind kind;
    Attempt expr;
    Attempt paren;              // nested, parenthesis
    Attempt term;               // nested
    Mark repetition{};          // before the whitespace of an (op dice_term) after the first
    Mark operation{};           // before the op of the (op dice_term) being tried
    bool in_operation = false;  // the pending dice_term is that of an (op dice_term)
    bool repeated = false;      // that (op dice_term) is not the first
  };

  bool dice_expr() {
    const std::size_t bottom = frames_.size();
    frames_.push_back(ExprFrame{FrameKind::Expression, enter(Rule::DiceExpr), {}, {}});
    return run_frames(bottom);
  }

  bool dice_term() {
    const std::size_t bottom = frames_.size();
    frames_.push_back(ExprFrame{FrameKind::Term, {}, {}, {}});
    return run_frames(bottom);
  }

  // paren_expr as a start rule; inside a dice_term, run_frames opens it itself.
  bool paren_expr() {
    if (!next_is('(')) return reject(Rule::ParenExpr);
    const std::size_t bottom = frames_.size();
    const Attempt paren = enter(Rule::ParenExpr);
    ++pos_;
    open_parenthesis();
    frames_.push_back(ExprFrame{FrameKind::Parenthesis, enter(Rule::DiceExpr), paren, {}});
    return run_frames(bottom);
  }

  // The loop: starts a dice_term for the innermost frame and hands every finished
  // dice_term to the frame that asked for it, until the frame at `bottom` ends.
  bool run_frames(std::size_t bottom) {
    for (;;) {
      // Start a dice_term: a roll or a number ends at once, "(" opens a frame.
      const Attempt term = enter(Rule::DiceTerm);
      bool matched = dice_roll();
      if (!matched && next_is('(')) {
        const Attempt paren = enter(Rule::ParenExpr);
        ++pos_;
        open_parenthesis();
        frames_.push_back(ExprFrame{FrameKind::Nested, enter(Rule::DiceExpr), paren, term});
        continue;
      }
      if (!matched) {
        reject(Rule::ParenExpr);
        matched = number();
      }
      matched = leave(term, matched);
      // Hand the dice_term up, closing every frame that it completes.
      for (;;) {
        ExprFrame& frame = frames_.back();
        if (frame.kind == FrameKind::Term) {
          frames_.resize(bottom);
          return matched;
        }
        if (take_term(frame, matched)) break;  // it waits for the dice_term of an op
        matched = leave(frame.expr, matched);
        if (frame.kind == FrameKind::Expression) {
          frames_.resize(bottom);
          return matched;
        }
        if (matched) {
          skip();
          matched = literal(')');
        }
        --depth_;
        matched = leave(frame.paren, matched);
        const FrameKind kind = frame.kind;
        const Attempt outer_term = frame.term;
        frames_.pop_back();
        if (kind == FrameKind::Parenthesis) return matched;
        // The dice_term around the parenthesis tries its last alternative.
        if (!matched) matched = number();
        matched = leave(outer_term, matched);
      }
    }
  }

  // Gives a finished dice_term to its frame. Returns true when the frame has started an
  // (op dice_term) and waits for that dice_term; false when its dice_expr has ended,
  // with `matched` set to the dice_expr's outcome.
  bool take_term(ExprFrame& frame, bool& matched) {
    if (frame.in_operation) {
      bool repetition = settle(frame.operation, matched);
      if (frame.repeated) repetition = settle(frame.repetition, repetition);
      if (!repetition) {
        matched = true;  // the first dice_term matched; the repetitions end here
        return false;
      }
      frame.repeated = true;
    } else {
      if (!matched) return false;
      skip();
    }
    // The next (op dice_term); the first directly, each further one after whitespace.
    if (frame.repeated) {
      frame.repetition = mark();
      skip();
    }
    frame.operation = mark();
    if (op()) {
      skip();
      frame.in_operation = true;
      return true;
    }
    settle(frame.operation, false);
    if (frame.repeated) settle(frame.repetition, false);
    matched = true;
    return false;
  }

  void open_parenthesis() {
    if (++depth_ > kMaxParenDepth) {
      throw std::length_error("parenthesis nesting exceeds the parser's bound");
    }
    skip();
  }

  // dice_roll: number "d" dice_sides modifiers?
  [[gnu::noinline]] bool dice_roll() {
    // A plain number not followed by "d" (every operand of a chain): the count would
    // match, record nothing and be rolled back with the roll, so the roll's failure at
    // its start is all that remains, as reject() leaves it.
    if (number_without_d()) return reject(Rule::DiceRoll);
    const Attempt attempt = enter(Rule::DiceRoll);
    bool matched = number();
    if (matched) {
      skip();
      matched = literal('d');
    }
    if (matched) {
      skip();
      matched = dice_sides();
    }
    if (matched) {
      skip();
      modifiers();
    }
    return leave(attempt, matched);
  }

  // Looks ahead, without moving: a whole `number` starts here and the next character
  // after it and any whitespace is not "d".
  bool number_without_d() const noexcept {
    const char* const text = text_;
    const std::uint32_t size = size_;
    std::uint32_t at = pos_;
    if (at < size && text[at] == '-') ++at;
    if (at == size || !is_digit(text[at])) return false;
    if (text[at++] != '0') {
      while (at < size && is_digit(text[at])) ++at;
    }
    while (at < size && is_whitespace(text[at])) ++at;
    return at == size || text[at] != 'd';
  }

  // dice_sides (atomic): number
  bool dice_sides() {
    const Attempt attempt = enter(Rule::DiceSides, true);
    return leave(attempt, number());
  }

  // modifiers: modifier+
  [[gnu::noinline]] bool modifiers() {
    const Attempt attempt = enter(Rule::Modifiers);
    const bool matched = modifier();
    if (matched) {
      while (true) {
        const Mark m = mark();
        skip();
        if (!settle(m, modifier())) break;
      }
    }
    return leave(attempt, matched);
  }

  // modifier: the fifteen modifier rules, in the order of the modifier table.
  bool modifier() {
    // The alternatives are tried in order from the first one whose letters begin with
    // the current character; every alternative before it is rejected at this position
    // (reject_each gives the same records as rejecting them one by one). A character
    // that starts no modifier rejects all fifteen, and more than one record from the
    // children collapses into the modifier's own: exactly what reject() leaves.
    if (pos_ == size_ || modifiers_starting_with(text_[pos_]).count == 0) {
      return reject(Rule::Modifier);
    }
    const int first = modifiers_starting_with(text_[pos_]).index[0];
    const Attempt attempt = enter(Rule::Modifier);
    reject_each(kModifierRules.data(), first);
    bool matched = false;
    for (auto i = static_cast<std::size_t>(first); i < kModifiers.size() && !matched; ++i) {
      matched = modifier_alternative(kModifiers[i]);
    }
    return leave(attempt, matched);
  }

  static constexpr std::array<Rule, kModifiers.size()> kModifierRules = [] {
    std::array<Rule, kModifiers.size()> rules{};
    for (const ModifierSpec& spec : kModifiers)
      rules[modifier_index(spec.kind)] = modifier_rule(spec.kind);
    return rules;
  }();

  // One modifier rule: its letters, then, for a kind with a value, a number after
  // implicit whitespace ("!", "kh" number, ...).
  bool modifier_alternative(const ModifierSpec& spec) {
    const Rule rule = modifier_rule(spec.kind);
    if (size_ - pos_ < spec.text.size() ||
        std::memcmp(text_ + pos_, spec.text.data(), spec.text.size()) != 0) {
      return reject(rule);
    }
    const Attempt attempt = enter(rule);
    pos_ += static_cast<std::uint32_t>(spec.text.size());
    bool matched = true;
    if (spec.takes_value) {
      skip();
      matched = number();
    }
    return leave(attempt, matched);
  }

  // op: "+" | "-" | "*" | "/" | "^"
  [[gnu::noinline]] bool op() {
    if (pos_ == size_) return reject(Rule::Op);
    switch (text_[pos_]) {
      case '+':
      case '-':
      case '*':
      case '/':
      case '^': break;
      default: return reject(Rule::Op);
    }
    const Attempt attempt = enter(Rule::Op);
    ++pos_;
    return leave(attempt, true);
  }

  const char* text_;
  std::uint32_t size_;
  std::uint32_t pos_ = 0;
  std::uint32_t depth_ = 0;
  bool atomic_ = false;
  std::vector<ParseNode> nodes_;
  FailureRecord failures_;
  std::vector<ExprFrame> frames_;
};

}  // namespace

std::expected<ParseTree, SyntaxErrorReport> parse(Rule start, std::string_view source) {
  if (source.size() > kMaxSourceBytes) {
    throw std::length_error("parser input exceeds the size the parse tree can index");
  }
  Parser parser(source);
  if (parser.run(start)) return ParseTree(source, std::move(parser.nodes()));
  return std::unexpected(build_syntax_error_report(source, parser.failures(), start));
}

}  // namespace kavelo::grammar
