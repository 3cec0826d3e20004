// Parse time of the front end: a full-size program, a full-size operator chain, and the
// short expression that the Python layer parses on every roll.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench.hpp"
#include "parser/dice_parser.hpp"

namespace {

using kavelo::DiceParser;
using kavelo::ResourcePolicy;

constexpr std::size_t kTextBytes = 65536;

// Short instructions separated by ";", padded with spaces to exactly kTextBytes.
std::string program_text() {
  std::string text;
  const std::string instruction = "4d6kh3+2";
  while (text.size() + 1 + instruction.size() <= kTextBytes) {
    if (!text.empty()) text += ';';
    text += instruction;
  }
  text.append(kTextBytes - text.size(), ' ');
  return text;
}

// One expression of two-digit numbers joined by all five operators, padded to kTextBytes.
std::string chain_text() {
  std::string text = "10";
  const char operators[] = {'+', '-', '*', '/', '^'};
  for (std::size_t i = 0; text.size() + 3 <= kTextBytes; ++i) {
    text += operators[i % 5];
    text += std::to_string(10 + i % 90);
  }
  text.append(kTextBytes - text.size(), ' ');
  return text;
}

template <class Parse>
void run_checked(const std::string& text, Parse parse) {
  auto result = parse(text);
  if (!result) {
    std::fprintf(stderr, "benchmark input rejected: %s\n", result.error().display().c_str());
    std::abort();
  }
  kavelo::bench::do_not_optimize(result);
}

const std::string& program_input() {
  static const std::string text = program_text();
  return text;
}
const std::string& chain_input() {
  static const std::string text = chain_text();
  return text;
}

KAVELO_BENCHMARK("parse/program 65536 bytes of 4d6kh3+2;", "parse", 1, [] {
  static const ResourcePolicy policy = ResourcePolicy::hard_maxima();
  run_checked(program_input(), [](const std::string& text) {
    return DiceParser::parse_program_with_policy(text, policy);
  });
});

KAVELO_BENCHMARK("parse/operator chain 65536 bytes", "parse", 1, [] {
  static const ResourcePolicy policy = ResourcePolicy::hard_maxima();
  run_checked(chain_input(), [](const std::string& text) {
    return DiceParser::parse_expression_with_policy(text, policy);
  });
});

KAVELO_BENCHMARK("parse/expression 4d6kh3+2", "parse", 1, [] {
  static const ResourcePolicy policy;
  run_checked("4d6kh3+2", [](const std::string& text) {
    return DiceParser::parse_expression_with_policy(text, policy);
  });
});

}  // namespace
