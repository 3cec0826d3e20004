// The text of a comment: what follows its '#' marks, with the Unicode White_Space
// characters trimmed from both ends.
#include <optional>
#include <string>
#include <string_view>

#include "parser/dice_parser.hpp"

namespace kavelo {

namespace {

// Length of the Unicode White_Space character starting at `s[i]` (0 when there is none).
std::size_t white_space_at(std::string_view s, std::size_t i) noexcept {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
  const std::size_t left = s.size() - i;
  if (left >= 1 && ((b(0) >= 0x09 && b(0) <= 0x0D) || b(0) == 0x20)) return 1;
  if (left >= 2 && b(0) == 0xC2 && (b(1) == 0x85 || b(1) == 0xA0)) return 2;  // U+0085, U+00A0
  if (left >= 3) {
    if (b(0) == 0xE1 && b(1) == 0x9A && b(2) == 0x80) return 3;                    // U+1680
    if (b(0) == 0xE2 && b(1) == 0x80 && (b(2) <= 0x8A && b(2) >= 0x80)) return 3;  // U+2000..U+200A
    if (b(0) == 0xE2 && b(1) == 0x80 && (b(2) == 0xA8 || b(2) == 0xA9 || b(2) == 0xAF))
      return 3;                                                  // U+2028, U+2029, U+202F
    if (b(0) == 0xE2 && b(1) == 0x81 && b(2) == 0x9F) return 3;  // U+205F
    if (b(0) == 0xE3 && b(1) == 0x80 && b(2) == 0x80) return 3;  // U+3000
  }
  return 0;
}

// Length of the Unicode White_Space character that ends `s` (0 when there is none).
std::size_t white_space_before_end(std::string_view s) noexcept {
  for (std::size_t length = 1; length <= 3 && length <= s.size(); ++length) {
    if (white_space_at(s, s.size() - length) == length) return length;
  }
  return 0;
}

}  // namespace

std::optional<std::string> DiceParser::parse_comment(std::string_view text) {
  std::size_t begin = text.find_first_not_of('#');
  if (begin == std::string_view::npos) return std::nullopt;
  text.remove_prefix(begin);
  while (const std::size_t n = white_space_at(text, 0)) text.remove_prefix(n);
  while (const std::size_t n = white_space_before_end(text)) text.remove_suffix(n);
  if (text.empty()) return std::nullopt;
  return std::string(text);
}

}  // namespace kavelo
