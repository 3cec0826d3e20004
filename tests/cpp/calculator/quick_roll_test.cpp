// The quick path against the general path, plain and traced. Every check runs both with
// the same key:
// a request the quick path finishes must give the general path's record exactly; one it
// drew a key for and gave back must fail on the general path with that key; one it does
// not take must have drawn nothing. The shapes it takes, near misses it must leave, and
// every limit from zero past what a request needs.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "calculator/dice_calculator.hpp"
#include "calculator/quick_roll.hpp"
#include "calculator/roll_trace.hpp"
#include "parser/dice_parser.hpp"
#include "support/fixed_entropy.hpp"
#include "support/roll_fixture.hpp"
#include "types/canonical_json.hpp"

namespace kavelo {
namespace {

using testing::FixedKey;
using testing::KeyBytes;
using testing::policy_with;
using testing::test_key;
using Outcome = QuickRoll::Outcome;

// The general path's result for `text` with `key`, or nothing when it fails.
std::optional<DiceResult> general(std::string_view text, const ResourcePolicy& policy,
                                  const KeyBytes& key) {
  auto expression = DiceParser::parse_expression_with_policy(text, policy);
  if (!expression) return std::nullopt;
  FixedKey source{key};
  DiceCalculator calculator(policy, source.source());
  auto result = calculator.evaluate_expression(*expression);
  if (!result) return std::nullopt;
  return std::move(*result);
}

// The general path's traced result for `text` with `key`, or nothing when it fails.
struct Traced {
  DiceResult result;
  RollTrace trace;
};

std::optional<Traced> general_traced(std::string_view text, const ResourcePolicy& policy,
                                     const KeyBytes& key) {
  auto expression = DiceParser::parse_expression_with_policy(text, policy);
  if (!expression) return std::nullopt;
  FixedKey source{key};
  DiceCalculator calculator(policy, source.source());
  Traced traced;
  auto result = calculator.trace_expression(*expression, traced.trace);
  if (!result) return std::nullopt;
  traced.result = std::move(*result);
  return traced;
}

void expect_same_result(const QuickRoll& quick, const DiceResult& expected) {
  EXPECT_EQ(quick.expression(), expected.expression);
  EXPECT_EQ(quick.total(), expected.total);
  EXPECT_TRUE(expected.rolls.all_singletons());
  const std::vector<std::int64_t> values(quick.values().begin(), quick.values().end());
  const std::vector<std::int64_t> wanted(expected.rolls.values().begin(),
                                         expected.rolls.values().end());
  EXPECT_EQ(values, wanted);
  EXPECT_EQ(quick.details(), expected.details);
  EXPECT_FALSE(expected.comment.has_value());
  EXPECT_EQ(quick.output_length(), evaluated_length(expected));
}

std::vector<std::vector<std::int64_t>> groups_of(const RollGroups& groups) {
  std::vector<std::vector<std::int64_t>> out;
  for (std::size_t g = 0; g < groups.group_count(); ++g) {
    out.emplace_back(groups.group(g).begin(), groups.group(g).end());
  }
  return out;
}

// The fields of a face and a term that a trace shows (a kept face's cause is unused).
auto fields_of(const TracedFace& f) {
  return std::tuple(f.value, f.die, f.into, f.origin, f.fate,
                    f.fate == FaceFate::Kept ? DiceModifier{} : f.cause);
}

auto fields_of(const TracedTerm& t) {
  return std::tuple(t.count, t.sides, t.modifiers, t.first_face, t.end_face, t.first_derived,
                    t.end_derived, groups_of(t.values));
}

void expect_same_trace(const RollTrace& got, const RollTrace& wanted) {
  ASSERT_EQ(got.faces().size(), wanted.faces().size());
  for (std::size_t i = 0; i < got.faces().size(); ++i) {
    EXPECT_EQ(fields_of(got.faces()[i]), fields_of(wanted.faces()[i])) << "face " << i;
  }
  EXPECT_TRUE(got.derived().empty());
  EXPECT_TRUE(wanted.derived().empty());
  ASSERT_EQ(got.terms().size(), wanted.terms().size());
  for (std::size_t t = 0; t < got.terms().size(); ++t) {
    EXPECT_EQ(fields_of(got.terms()[t]), fields_of(wanted.terms()[t])) << "term " << t;
  }
}

// What every outcome promises, given whether the general path finished the request:
// Done compares the records (`same`), Replay gives back the key, NotTaken drew nothing.
template <class Same>
void expect_outcome(Outcome outcome, const FixedKey& source, const QuickRoll& quick,
                    const KeyBytes& key, bool general_finished, Same&& same) {
  switch (outcome) {
    case Outcome::Done:
      EXPECT_EQ(source.fills, 1);
      if (!general_finished) {
        ADD_FAILURE() << "the quick path finished a request the general path refuses";
        break;
      }
      same();
      break;
    case Outcome::Replay:
      EXPECT_EQ(source.fills, 1);
      EXPECT_EQ(quick.replayed_key(), key);
      EXPECT_FALSE(general_finished) << "given back a request the general path finishes";
      break;
    case Outcome::NotTaken: EXPECT_EQ(source.fills, 0); break;
  }
}

// The traced run of what check() ran plain as `plain`: it records what the general
// path's trace records, and leaves a request to the general path only where the plain
// run did or the trace_nodes limit could refuse its faces.
void check_traced(std::string_view text, const ResourcePolicy& policy, const KeyBytes& key,
                  Outcome plain) {
  FixedKey source{key};
  auto quick = std::make_unique<QuickRoll>();
  RollTrace trace;
  const Outcome outcome = quick->run(text, policy, source.source(), &trace);
  const std::optional<Traced> expected = general_traced(text, policy, key);
  if (outcome != plain) {
    EXPECT_EQ(outcome, Outcome::NotTaken);
    EXPECT_LT(policy.limit(Resource::TraceNodes), ResourcePolicy().limit(Resource::TraceNodes));
  }
  expect_outcome(outcome, source, *quick, key, expected.has_value(), [&] {
    expect_same_result(*quick, expected->result);
    expect_same_trace(trace, expected->trace);
  });
}

// Runs the quick path on `text` plain and traced, each against the general path.
Outcome check(std::string_view text, const ResourcePolicy& policy, const KeyBytes& key) {
  SCOPED_TRACE(std::string(text));
  FixedKey source{key};
  auto quick = std::make_unique<QuickRoll>();
  const Outcome outcome = quick->run(text, policy, source.source());
  const std::optional<DiceResult> expected = general(text, policy, key);
  expect_outcome(outcome, source, *quick, key, expected.has_value(),
                 [&] { expect_same_result(*quick, *expected); });
  check_traced(text, policy, key, outcome);
  return outcome;
}

TEST(QuickRoll, FinishesTheCommonShapesAsTheGeneralPathDoes) {
  const char* const texts[] = {
      "1d20+5",
      "4d6kh3+2",
      "100d6",
      "128d6",
      "129d6",
      "1000d6",
      "3000d20kh5+1",
      "2d6*3",
      "5",
      "0",
      "3-2*2",
      "2^3",
      "7/2",
      " 3 d 6 ",
      "4d6kl1",
      "4d6kh0",
      "4d6kh9",
      "1d6-1d4",
      "1d20 + 5+2",
      "2d8 kh1",
      "1d1",
      "9d999999999",
      "1d20\t+\n5",
      "10d10kh3*2-1",
      "1d6+1d6+1d6+1d6+1d6+1d6+1d6+1d6+1d6+1d6+1d6+1d6",
      "999999999*2",
      // Many equal values: which dice a keep drops is the traced keep's order.
      "20d2kh7+20d2kl7",
      "40d3kh20",
      "30d3kl29",
      "17d1kh16",
  };
  for (const char* text : texts) {
    for (std::uint64_t k = 0; k < 8; ++k) {
      EXPECT_EQ(check(text, ResourcePolicy(), test_key(k)), Outcome::Done) << text;
    }
  }
}

TEST(QuickRoll, LeavesEveryOtherShapeToTheGeneralPathUndrawn) {
  const char* const texts[] = {
      "",
      "d6",
      "(1d6)",
      "1d6 # c",
      "1d6;1d6",
      "1d6!",
      "4d6k3",
      "4d6kh 3",
      "4d6kh-1",
      "-5",
      "1d20+-5",
      "05",
      "0d6",
      "1d0",
      "1d6kh3kl1",
      "1d6r1",
      "1234567890",
      "1d6+",
      "1 d",
      "1d6 kh",
      "2d6kh3 kl1",
      "1d6 x",
      "1d6+1d6+1d6+1d6+1d6+1d6+1d6+1d6+1d6+1d6+1d6+1d6+1",
      "1d20+5\xe2\x80\x83",
      "4d6kh03",
      "1d1000000000",
      "2^-1",
  };
  for (const char* text : texts) {
    EXPECT_EQ(check(text, ResourcePolicy(), test_key(0)), Outcome::NotTaken) << text;
  }
}

TEST(QuickRoll, GivesBackRequestsThatFailAfterTheDraw) {
  const char* const texts[] = {"1d6/0", "2^99", "1d6 * 0 / 0", "999999999*999999999*999999999"};
  for (const char* text : texts) {
    EXPECT_EQ(check(text, ResourcePolicy(), test_key(1)), Outcome::Replay) << text;
  }
}

TEST(QuickRoll, ReplayedEntropyHandsOutItsKeyAlone) {
  const KeyBytes key = test_key(3);
  const EntropySource source = replayed_entropy(key);
  KeyBytes out{};
  ASSERT_EQ(source.fill(source.context, out.data(), out.size()), 0);
  EXPECT_EQ(out, key);
  EXPECT_NE(source.fill(source.context, out.data(), 16), 0);
}

// Each limit from zero to past what the requests need: whatever the quick path does at
// each value, check() holds it to the general path.
TEST(QuickRoll, AgreesWithTheGeneralPathAtEveryLimit) {
  const Resource resources[] = {
      Resource::SourceBytes,          Resource::AstNodes,     Resource::ParsedInstructions,
      Resource::ExecutedInstructions, Resource::NestingDepth, Resource::WorkUnits,
      Resource::GeneratedValues,      Resource::RngWords,     Resource::SourceItems,
      Resource::CollectionItems,      Resource::OutputItems,  Resource::ParseDepth,
      Resource::TraceNodes,
  };
  const char* const texts[] = {"1d20+5", "4d6kh3+2", "3d6kl2*2-1d4", "7", "2d4+3+4"};
  for (const Resource resource : resources) {
    for (const char* text : texts) {
      bool finished = false;
      for (std::uint64_t limit = 0; limit <= 40; ++limit) {
        SCOPED_TRACE(std::string(name_of(resource)) + " " + std::to_string(limit));
        finished |= check(text, policy_with(resource, limit), test_key(limit)) == Outcome::Done;
      }
      EXPECT_TRUE(finished) << name_of(resource) << ": " << text;
    }
  }
}

TEST(QuickRoll, AgreesWithTheGeneralPathAtTheOutputLength) {
  const char* const texts[] = {"1d20+5", "4d6kh3", "100d6", "5"};
  for (const char* text : texts) {
    const auto needed = general(text, ResourcePolicy(), test_key(5));
    ASSERT_TRUE(needed.has_value());
    const std::uint64_t length = evaluated_length(*needed);
    EXPECT_EQ(check(text, policy_with(Resource::OutputBytes, length), test_key(5)), Outcome::Done);
    EXPECT_EQ(check(text, policy_with(Resource::OutputBytes, length - 1), test_key(5)),
              Outcome::Replay);
  }
}

// Generated chains of the quick shape and their near misses, each with its own key.
TEST(QuickRoll, AgreesWithTheGeneralPathOnGeneratedChains) {
  std::mt19937_64 random(20261210);
  const auto pick = [&](std::uint64_t n) { return random() % n; };
  const char* const numbers[] = {"0", "1", "2", "6", "10", "20", "100", "999999999", "07", "-3"};
  const char* const spaces[] = {"", "", "", " ", "\t", "  "};
  const char* const operators[] = {"+", "-", "*", "/", "^", "%"};
  const char* const keeps[] = {"", "", "", "kh", "kl", "k", "dl", "kh ", "!"};
  int done = 0;
  for (std::uint64_t round = 0; round < 4000; ++round) {
    std::string text = spaces[pick(6)];
    const std::uint64_t terms = 1 + pick(5);
    for (std::uint64_t t = 0; t < terms; ++t) {
      if (t > 0) text += std::string(spaces[pick(6)]) + operators[pick(6)] + spaces[pick(6)];
      text += numbers[pick(10)];
      if (pick(3) != 0) {
        text += std::string(spaces[pick(6)]) + "d" + spaces[pick(6)] + numbers[pick(10)];
        const std::string keep = keeps[pick(9)];
        if (!keep.empty()) text += keep + numbers[pick(10)];
      }
    }
    text += spaces[pick(6)];
    done += check(text, ResourcePolicy(), test_key(round)) == Outcome::Done ? 1 : 0;
  }
  // The generator makes mostly texts of the shape: the quick path must have run.
  EXPECT_GT(done, 400);
}

}  // namespace
}  // namespace kavelo
