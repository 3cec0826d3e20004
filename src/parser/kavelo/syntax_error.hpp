// Failure record kept while parsing, and the syntax error report built from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "parser/kavelo/rule.hpp"

namespace kavelo::grammar {

// The furthest place where a visible rule attempt failed, and which rules failed there.
class FailureRecord {
 public:
  FailureRecord() { expected_.reserve(32); }

  // The mark taken before a rule attempt at `position`: how many failures are already
  // recorded there.
  [[nodiscard]] std::size_t attempts_at(std::uint32_t position) const noexcept {
    return position == attempt_position_ ? expected_.size() : 0;
  }

  // Called after a failed attempt of `rule` that started at `position`, with the mark
  // taken before it. A rule whose children left exactly one failure at its start is not
  // recorded (the child is more precise); otherwise the children's failures at that
  // position are replaced by the rule itself. Positions before the furthest one are
  // ignored, a further position starts a new list.
  void record_failure(Rule rule, std::uint32_t position, std::size_t mark) {
    if (position < attempt_position_) return;  // behind the furthest failure: no effect
    record_at_or_beyond(rule, position, mark);
  }

  // The records of `count` rules that each failed at `position` without recording
  // anything below them, one after another: each is appended at the furthest position.
  void record_rejections(std::uint32_t position, const Rule* rules, std::size_t count) {
    if (position < attempt_position_) return;
    if (position > attempt_position_) {
      expected_.clear();
      attempt_position_ = position;
    }
    expected_.insert(expected_.end(), rules, rules + count);
  }

  [[nodiscard]] std::uint32_t attempt_position() const noexcept { return attempt_position_; }
  // Rules in recording order, duplicates included.
  [[nodiscard]] const std::vector<Rule>& expected() const noexcept { return expected_; }

 private:
  [[gnu::noinline]] void record_at_or_beyond(Rule rule, std::uint32_t position, std::size_t mark) {
    const std::size_t after = attempts_at(position);
    if (after > mark && after - mark == 1) return;
    if (position == attempt_position_) {
      if (expected_.size() > mark) expected_.resize(mark);
    } else if (position > attempt_position_) {
      expected_.clear();
      attempt_position_ = position;
    }
    if (position == attempt_position_) expected_.push_back(rule);
  }

  std::uint32_t attempt_position_ = 0;
  std::vector<Rule> expected_;
};

struct SyntaxErrorReport {
  std::uint32_t position = 0;  // byte offset of the failure
  std::uint32_t line = 1;      // from 1
  std::uint32_t column = 1;    // from 1, in characters
  std::string line_text;       // the failing line without CR and LF characters
  std::uint32_t caret = 0;     // characters of line_text before the failing one
  std::vector<Rule> expected;  // sorted by rule order, no duplicates, never empty

  friend bool operator==(const SyntaxErrorReport&, const SyntaxErrorReport&) = default;
};

// Builds the report for a parse of `source` that failed with `record`. `fallback` is
// listed when nothing was recorded (only possible when a silent rule was the start rule).
[[nodiscard]] SyntaxErrorReport build_syntax_error_report(std::string_view source,
                                                          const FailureRecord& record,
                                                          Rule fallback);

// The multi-line text shown to the user (no trailing line feed).
[[nodiscard]] std::string render_syntax_error(const SyntaxErrorReport& report);

}  // namespace kavelo::grammar
