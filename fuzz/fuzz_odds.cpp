// The odds evaluator on arbitrary text, under small limits of its own derived from the
// input. Every input ends in a distribution or a coded error; a distribution is a
// distribution (outcomes ascending, probabilities finite and in [0, 1], everything adding
// up to 1, no more left out than the tolerance), and the roller agrees with it: every
// total the roller gives for the same text is one of its outcomes, and every error the
// roller ends in is one of its failures.
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "calculator/dice_calculator.hpp"
#include "fuzz_support.hpp"
#include "odds/odds.hpp"
#include "parser/dice_parser.hpp"

namespace kavelo::fuzz {
namespace {

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// The key a roller error has among the failures of the odds.
std::string failure_of(const DiceError& error) {
  const std::string text = error.display();
  if (starts_with(text, "[")) return text.substr(1, text.find(']') - 1);
  return text;
}

void check_against_rolls(std::string_view text, const odds::OddsReport& report, Stream& stream) {
  auto expression = DiceParser::parse_expression_with_policy(text, ResourcePolicy());
  check(expression.has_value(), "text the odds accept must parse");
  DerivedEntropy entropy{Stream{stream.next()}};
  DiceCalculator calculator(ResourcePolicy(), entropy.source());
  for (int i = 0; i < 8; ++i) {
    auto result = calculator.evaluate_expression(*expression);
    if (result) {
      if (report.truncated > 0.0) continue;  // a long explosion may go past the cut
      bool found = false;
      for (std::int64_t outcome : report.outcomes) found = found || outcome == result->total;
      check(found, "a rolled total is not an outcome of the odds", text);
      continue;
    }
    const DiceErrorKind kind = result.error().kind();
    if (kind == DiceErrorKind::BudgetExceeded || kind == DiceErrorKind::GeneratedValuesExceeded) {
      continue;  // the roll's limits, which the odds ignore
    }
    const std::string key = failure_of(result.error());
    bool known = false;
    for (int k = 0; k < odds::kFailureKinds; ++k) {
      known = known ||
              (report.failures[k] > 0.0 && odds::failure_key(static_cast<odds::Failure>(k)) == key);
    }
    check(known, "a roll's error is not among the failures of the odds", key);
  }
}

}  // namespace
}  // namespace kavelo::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kavelo;
  using namespace kavelo::fuzz;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  Stream stream{hash_of(text)};
  odds::OddsLimits limits;
  limits.max_outcomes = 1 + stream.below(20000);
  limits.max_work = 1 + stream.below(3'000'000);
  limits.tolerance = std::ldexp(1.0, -static_cast<int>(10 + stream.below(50)));
  // One input in eight gets limits that cannot bound a computation (a tolerance that
  // is negative, infinite, NaN, 0, 1 or above; a count of 0): refused before the text is
  // read, whatever it holds.
  bool refused = false;
  if (stream.below(8) == 0) {
    constexpr double kBad[] = {-1.0, -0.0, 0.0, 1.0, 2.0, HUGE_VAL, -HUGE_VAL, NAN, -1e-300};
    const std::uint64_t pick = stream.below(sizeof kBad / sizeof kBad[0] + 2);
    if (pick < sizeof kBad / sizeof kBad[0]) {
      limits.tolerance = kBad[pick];
    } else if (pick == sizeof kBad / sizeof kBad[0]) {
      limits.max_outcomes = 0;
    } else {
      limits.max_work = 0;
    }
    refused = true;
  }
  auto report = odds::compute_odds(text, limits);
  if (refused) {
    check(!report && starts_with(report.error().text, "[odds.invalid_argument] "),
          "limits that cannot bound the odds were not refused");
    return 0;
  }
  if (!report) {
    const std::string& error = report.error().text;
    check(starts_with(error, "[odds.") || starts_with(error, "解析错误: ") ||
              starts_with(error, "[limit.source_bytes]") ||
              starts_with(error, "[limit.parse_depth]") || starts_with(error, "[limit.ast_nodes]"),
          "unexpected error", error);
    return 0;
  }
  check(report->outcomes.size() == report->probabilities.size(), "one probability per outcome");
  check(report->outcomes.size() <= limits.max_outcomes, "more outcomes than the limit");
  check(report->work <= limits.max_work, "more work than the limit");
  double total = report->truncated;
  for (std::size_t i = 0; i < report->outcomes.size(); ++i) {
    const double p = report->probabilities[i];
    check(std::isfinite(p) && p >= 0.0 && p <= 1.0 + 1e-9, "a probability outside [0, 1]");
    check(i == 0 || report->outcomes[i - 1] < report->outcomes[i], "outcomes not ascending");
    total += p;
  }
  for (double f : report->failures) {
    check(std::isfinite(f) && f >= 0.0 && f <= 1.0 + 1e-9, "a failure probability outside [0, 1]");
    total += f;
  }
  check(std::fabs(total - 1.0) <= 1e-9, "the probabilities do not add up to 1");
  check(report->truncated >= 0.0 && report->truncated <= limits.tolerance * 1.001,
        "more left out than the tolerance");
  check_against_rolls(text, *report, stream);
  return 0;
}
