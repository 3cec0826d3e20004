#include "types/canonical_json.hpp"

#include <array>
#include <cstring>

#include "resource/execution_budget.hpp"

namespace kavelo {

namespace {

// Extra bytes a byte costs inside a JSON string beyond its own one.
constexpr std::array<std::uint8_t, 256> build_escape_cost() {
  std::array<std::uint8_t, 256> cost{};
  for (int b = 0; b < 0x20; ++b) cost[b] = 5;  // \u00XX
  cost['\b'] = cost['\t'] = cost['\n'] = cost['\f'] = cost['\r'] = 1;
  cost['"'] = cost['\\'] = 1;
  return cost;
}

constexpr auto kEscapeCost = build_escape_cost();

constexpr std::string_view kHexDigits = "0123456789abcdef";

void append_json_string(std::string& out, std::string_view text) {
  out.push_back('"');
  for (unsigned char c : text) {
    if (kEscapeCost[c] == 0) {
      out.push_back(static_cast<char>(c));
      continue;
    }
    out.push_back('\\');
    switch (c) {
      case '"': out.push_back('"'); break;
      case '\\': out.push_back('\\'); break;
      case '\b': out.push_back('b'); break;
      case '\t': out.push_back('t'); break;
      case '\n': out.push_back('n'); break;
      case '\f': out.push_back('f'); break;
      case '\r': out.push_back('r'); break;
      default:
        out += "u00";
        out.push_back(kHexDigits[c >> 4]);
        out.push_back(kHexDigits[c & 0xF]);
    }
  }
  out.push_back('"');
}

// The rolls of `groups` groups holding `values` between them.
std::uint64_t rolls_length(std::uint64_t groups, std::span<const std::int64_t> values) noexcept {
  // "[" groups joined by "," "]", each group "[" values joined by "," "]".
  std::uint64_t length = 2 + (groups > 0 ? groups - 1 : 0) + groups;
  for (std::int64_t value : values) length += decimal_length(value) + 1;
  return length;  // each value's separator or its group's closing bracket counted above
}

std::uint64_t rolls_length(const RollGroups& rolls) noexcept {
  return rolls_length(rolls.group_count(), rolls.values());
}

void append_rolls(std::string& out, const RollGroups& rolls) {
  out.push_back('[');
  for (std::size_t g = 0; g < rolls.group_count(); ++g) {
    if (g > 0) out.push_back(',');
    out.push_back('[');
    auto group = rolls.group(g);
    for (std::size_t i = 0; i < group.size(); ++i) {
      if (i > 0) out.push_back(',');
      append_canonical(out, group[i]);
    }
    out.push_back(']');
  }
  out.push_back(']');
}

constexpr std::string_view kNull = "null";

// A comment is its JSON string, or null when absent.
void append_comment(std::string& out, const std::optional<std::string>& comment) {
  if (comment) {
    append_json_string(out, *comment);
  } else {
    out += kNull;
  }
}

std::uint64_t comment_length(const std::optional<std::string>& comment) noexcept {
  return comment ? json_string_length(*comment) : kNull.size();
}

}  // namespace

std::uint64_t json_string_length(std::string_view text) noexcept {
  // Eight bytes at a time: a word with no byte below 0x20, no double quote and no
  // backslash costs nothing extra; any other word is priced byte by byte.
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHighBits = 0x8080808080808080ull;
  // Nonzero exactly when some byte of `word` is below `bound` (bound at most 0x80).
  constexpr auto any_below = [](std::uint64_t word, std::uint64_t bound) {
    return (word - kOnes * bound) & ~word & kHighBits;
  };
  std::uint64_t length = 2 + text.size();
  const char* p = text.data();
  std::size_t left = text.size();
  for (; left >= 8; left -= 8, p += 8) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if ((any_below(word, 0x20) | any_below(word ^ (kOnes * '"'), 1) |
         any_below(word ^ (kOnes * '\\'), 1)) == 0) {
      continue;
    }
    for (int i = 0; i < 8; ++i) length += kEscapeCost[static_cast<unsigned char>(p[i])];
  }
  for (; left > 0; --left, ++p) length += kEscapeCost[static_cast<unsigned char>(*p)];
  return length;
}

namespace {

// The record's length; with `plain_texts` its expression and details texts are taken to
// hold no byte that a JSON string escapes, and cost their size and two quotes.
constexpr std::string_view kRecordFixed =
    R"({"expression":,"total":,"rolls":,"details":,"comment":})";

template <bool plain_texts>
std::uint64_t record_length(const DiceResult& result) noexcept {
  std::uint64_t length = kRecordFixed.size();
  if constexpr (plain_texts) {
    length += 2 + result.expression.size() + 2 + result.details.size();
  } else {
    length += json_string_length(result.expression) + json_string_length(result.details);
  }
  length += decimal_length(result.total);
  length += rolls_length(result.rolls);
  length += comment_length(result.comment);
  return length;
}

template <bool plain_texts>
std::uint64_t list_length(std::span<const DiceResult> results) noexcept {
  std::uint64_t length = 2 + (results.empty() ? 0 : results.size() - 1);
  for (const DiceResult& result : results) {
    length = saturating_add(length, record_length<plain_texts>(result));
  }
  return length;
}

template <bool plain_texts>
std::uint64_t program_length(const ProgramResult& result) noexcept {
  constexpr std::string_view kFixed = R"({"results":,"comment":})";
  std::uint64_t length =
      saturating_add(kFixed.size(), list_length<plain_texts>(std::span(result.results)));
  return saturating_add(length, comment_length(result.comment));
}

}  // namespace

std::uint64_t canonical_length(const DiceResult& result) noexcept {
  return record_length<false>(result);
}

std::uint64_t canonical_length(std::span<const DiceResult> results) noexcept {
  return list_length<false>(results);
}

std::uint64_t canonical_length(const ProgramResult& result) noexcept {
  return program_length<false>(result);
}

std::uint64_t evaluated_length(const DiceResult& result) noexcept {
  return record_length<true>(result);
}

std::uint64_t evaluated_length(const ProgramResult& result) noexcept {
  return program_length<true>(result);
}

std::uint64_t singleton_rolls_length(std::span<const std::int64_t> values) noexcept {
  return rolls_length(values.size(), values);
}

std::uint64_t evaluated_length(std::string_view expression, std::int64_t total,
                               std::uint64_t rolls_length, std::string_view details) noexcept {
  return kRecordFixed.size() + 2 + expression.size() + 2 + details.size() + decimal_length(total) +
         rolls_length + kNull.size();
}

void append_canonical(std::string& out, std::int64_t value) { append_decimal(out, value); }

void append_canonical(std::string& out, const DiceResult& result) {
  out += R"({"expression":)";
  append_json_string(out, result.expression);
  out += R"(,"total":)";
  append_canonical(out, result.total);
  out += R"(,"rolls":)";
  append_rolls(out, result.rolls);
  out += R"(,"details":)";
  append_json_string(out, result.details);
  out += R"(,"comment":)";
  append_comment(out, result.comment);
  out.push_back('}');
}

void append_canonical(std::string& out, std::span<const DiceResult> results) {
  out.push_back('[');
  for (std::size_t i = 0; i < results.size(); ++i) {
    if (i > 0) out.push_back(',');
    append_canonical(out, results[i]);
  }
  out.push_back(']');
}

void append_canonical(std::string& out, const ProgramResult& result) {
  out += R"({"results":)";
  append_canonical(out, std::span(result.results));
  out += R"(,"comment":)";
  append_comment(out, result.comment);
  out.push_back('}');
}

std::uint64_t item_count(const DiceResult& result) noexcept {
  return saturating_add(result.rolls.value_count(), 1);
}

}  // namespace kavelo
