// The dice grammar: a hand-written parser for its thirty rules.
//
// Matching is ordered choice with roll-back, greedy repetition that never gives back,
// atomic rules without inner whitespace, silent rules without nodes, and implicit
// whitespace skipped between the elements of normal rules (kept even when the element
// after it turns out absent). Every attempt of a visible rule goes through one wrapper
// that makes its node and offers a failure to the failure record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string_view>

#include "parser/kavelo/parse_tree.hpp"
#include "parser/kavelo/rule.hpp"
#include "parser/kavelo/syntax_error.hpp"

namespace kavelo::grammar {

// Parentheses are the only recursion of the grammar. Callers bound the bracket depth of
// the text before parsing (the parse_depth limit, at most this value); the parser only
// guards against a caller that did not, by throwing std::length_error.
inline constexpr std::uint32_t kMaxParenDepth = 256;

// The characters of WHITESPACE, and the digits of number.
constexpr bool is_whitespace(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Fewer than eight nodes start at any one byte, so texts up to this size keep node
// indices and offsets within 32 bits. The source_bytes limit is far below it.
inline constexpr std::size_t kMaxSourceBytes = std::size_t{1} << 28;

// Runs `start` on `source` (the system always starts at Rule::Program, which must match
// the whole text). The tree views `source`, which must outlive it. Texts longer than
// kMaxSourceBytes are refused with std::length_error; callers bound the size first.
[[nodiscard]] std::expected<ParseTree, SyntaxErrorReport> parse(Rule start,
                                                                std::string_view source);

}  // namespace kavelo::grammar
