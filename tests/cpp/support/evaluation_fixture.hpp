// Helpers for evaluation tests: parsing source text into trees, reading records back as
// plain values, and writing the canonical text a record must measure, built here from
// the expected fields by the output rules (not by the code under test).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "parser/dice_parser.hpp"
#include "parser/tree_text.hpp"
#include "support/roll_fixture.hpp"

namespace kavelo::testing {

// Parse limits wide enough for every test text; evaluation limits come separately.
inline Expression parse_expression(std::string_view text) {
  auto parsed = DiceParser::parse_expression_with_policy(text, ResourcePolicy::hard_maxima());
  if (parsed) return std::move(*parsed);
  ADD_FAILURE() << "test text does not parse: " << text << ": " << parsed.error().display();
  Expression fallback;
  fallback.root = fallback.pool.add_number(0);
  return fallback;
}

inline Program parse_program(std::string_view text) {
  auto parsed = DiceParser::parse_program_with_policy(text, ResourcePolicy::hard_maxima());
  if (parsed) return std::move(*parsed);
  ADD_FAILURE() << "test text does not parse: " << text << ": " << parsed.error().display();
  Program fallback;
  fallback.instructions.push_back(fallback.pool.add_number(0));
  return fallback;
}

// A record as the tests state it.
struct Record {
  std::string expression;
  std::int64_t total = 0;
  Groups rolls;
  std::string details;
  std::optional<std::string> comment;

  friend bool operator==(const Record&, const Record&) = default;
};

inline void PrintTo(const Record& r, std::ostream* out) {
  *out << "{" << r.expression << " | " << r.total << " | [";
  for (const auto& g : r.rolls) {
    *out << "[";
    for (auto v : g) *out << v << " ";
    *out << "]";
  }
  *out << "] | " << r.details << " | " << (r.comment ? *r.comment : "<none>") << "}";
}

inline Record record_of(const DiceResult& result) {
  return {result.expression, result.total, groups_of(result.rolls), result.details, result.comment};
}

inline std::vector<Record> records_of(const std::vector<DiceResult>& results) {
  std::vector<Record> out;
  for (const DiceResult& r : results) out.push_back(record_of(r));
  return out;
}

// ---- canonical text, written out by the rules ----------------------------------------

inline std::string json_string(std::string_view text) {
  static const char hex[] = "0123456789abcdef";
  std::string out = "\"";
  for (const unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case 0x08: out += "\\b"; break;
      case 0x09: out += "\\t"; break;
      case 0x0A: out += "\\n"; break;
      case 0x0C: out += "\\f"; break;
      case 0x0D: out += "\\r"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += hex[c >> 4];
          out += hex[c & 15];
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

inline std::string json_text(const Record& r) {
  std::string rolls = "[";
  for (std::size_t g = 0; g < r.rolls.size(); ++g) {
    if (g > 0) rolls += ",";
    rolls += "[";
    for (std::size_t i = 0; i < r.rolls[g].size(); ++i) {
      if (i > 0) rolls += ",";
      rolls += std::to_string(r.rolls[g][i]);
    }
    rolls += "]";
  }
  rolls += "]";
  return "{\"expression\":" + json_string(r.expression) + ",\"total\":" + std::to_string(r.total) +
         ",\"rolls\":" + rolls + ",\"details\":" + json_string(r.details) +
         ",\"comment\":" + (r.comment ? json_string(*r.comment) : std::string("null")) + "}";
}

inline std::string json_text(const std::vector<Record>& records) {
  std::string out = "[";
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (i > 0) out += ",";
    out += json_text(records[i]);
  }
  return out + "]";
}

inline std::string json_text(const std::vector<Record>& records,
                             const std::optional<std::string>& comment) {
  return "{\"results\":" + json_text(records) +
         ",\"comment\":" + (comment ? json_string(*comment) : std::string("null")) + "}";
}

// 1 plus the number of rolled values.
inline std::uint64_t items_of(const Record& r) {
  std::uint64_t items = 1;
  for (const auto& g : r.rolls) items += g.size();
  return items;
}

}  // namespace kavelo::testing
