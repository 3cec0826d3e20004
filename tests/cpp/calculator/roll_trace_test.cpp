// Traced evaluation: with the same key, the traced result is the plain result, the
// recorded faces are the generator's own sequence, and replaying them gives it again.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "calculator/roll_trace.hpp"
#include "random/request_random.hpp"
#include "support/evaluation_fixture.hpp"

namespace kavelo {
namespace {

using testing::FixedKey;
using testing::parse_expression;
using testing::record_of;
using testing::test_key;

// Every modifier kind alone, then mixed lists and several terms.
const char* const kExpressions[] = {
    "4d6",
    "100d6",
    "3d6!",
    "3d6e",
    "4d6K2",
    "4d6!kh2",
    "4d6r2",
    "4d6ro2",
    "4d6R3",
    "4d6a2",
    "4d6k2",
    "4d6kh3",
    "4d6kl2",
    "4d6dh1",
    "4d6dl1",
    "6d4u",
    "5d6s",
    "8d6c6",
    "2d20kh1+5",
    "1d20+5+1d4",
    "6d6u+1d4",
    "8d3!r1kh4dl1s",
    "10d4a1ro2u c3",
    "4d6kh3+2d8!-1d4r1*3",
    "(2d6+1d8a1)*2^2",
    "5d2!u",
    "1d1",
    "20d3R2kh5",
};

TEST(RollTraceTest, TracedResultIsThePlainResultAndFacesAreTheGeneratorSequence) {
  for (const char* text : kExpressions) {
    const Expression expression = parse_expression(text);
    for (std::uint64_t k = 0; k < 12; ++k) {
      SCOPED_TRACE(std::string(text) + " key " + std::to_string(k));
      FixedKey plain_key{test_key(k)};
      DiceCalculator plain(ResourcePolicy(), plain_key.source());
      auto expected = plain.evaluate_expression(expression);
      ASSERT_TRUE(expected.has_value()) << expected.error().display();

      FixedKey traced_key{test_key(k)};
      DiceCalculator traced(ResourcePolicy(), traced_key.source());
      RollTrace trace;
      auto result = traced.trace_expression(expression, trace);
      ASSERT_TRUE(result.has_value()) << result.error().display();
      EXPECT_EQ(record_of(*result), record_of(*expected));
      EXPECT_EQ(traced.budget().used(Resource::RngWords), plain.budget().used(Resource::RngWords));
      EXPECT_EQ(traced.budget().used(Resource::WorkUnits),
                plain.budget().used(Resource::WorkUnits));

      // The faces, term by term, are the draws of a generator with the same key.
      RequestRandom generator(test_key(k));
      ExecutionBudget budget(ResourcePolicy::hard_maxima());
      RollGroups rolls;
      std::size_t next = 0;
      for (const TracedTerm& term : trace.terms()) {
        ASSERT_EQ(term.first_face, next);
        for (std::size_t i = term.first_face; i < term.end_face; ++i) {
          auto draw = generator.uniform_below(static_cast<std::uint64_t>(term.sides), budget);
          ASSERT_TRUE(draw.has_value());
          EXPECT_EQ(trace.faces()[i].value, *draw + 1) << "face " << i;
        }
        next = term.end_face;
        rolls.append(term.values);
      }
      EXPECT_EQ(next, trace.faces().size());
      // The terms' values, in order, are the result's rolls.
      EXPECT_EQ(testing::groups_of(rolls), testing::groups_of(result->rolls));

      // Replaying the faces gives the same record, whatever key the replay holds.
      std::vector<std::int64_t> faces;
      for (const TracedFace& face : trace.faces()) faces.push_back(face.value);
      FixedKey other_key{test_key(k + 100)};
      DiceCalculator replaying(ResourcePolicy(), other_key.source());
      RollTrace replay(faces);
      auto replayed = replaying.trace_expression(expression, replay);
      ASSERT_TRUE(replayed.has_value()) << replayed.error().display();
      EXPECT_EQ(record_of(*replayed), record_of(*expected));
      ASSERT_EQ(replay.faces().size(), trace.faces().size());
      for (std::size_t i = 0; i < faces.size(); ++i) {
        EXPECT_EQ(replay.faces()[i].fate, trace.faces()[i].fate) << "face " << i;
        EXPECT_EQ(replay.faces()[i].die, trace.faces()[i].die) << "face " << i;
        EXPECT_EQ(replay.faces()[i].origin, trace.faces()[i].origin) << "face " << i;
      }
    }
  }
}

// A plain request after a traced one on the same calculator records nothing.
TEST(RollTraceTest, PlainRequestAfterATraceRecordsNothing) {
  const Expression expression = parse_expression("3d6");
  DiceCalculator calculator{ResourcePolicy()};
  RollTrace trace;
  ASSERT_TRUE(calculator.trace_expression(expression, trace).has_value());
  ASSERT_EQ(trace.faces().size(), 3u);
  ASSERT_TRUE(calculator.evaluate_expression(expression).has_value());
  EXPECT_EQ(trace.faces().size(), 3u);
  EXPECT_EQ(trace.terms().size(), 1u);
}

struct FateCase {
  const char* expression;
  std::vector<std::int64_t> faces;
  std::vector<FaceFate> fates;
  std::vector<FaceOrigin> origins;
  std::vector<std::uint64_t> dice;
};

using F = FaceFate;
using O = FaceOrigin;

class RollTraceFateTest : public ::testing::TestWithParam<FateCase> {};

TEST_P(RollTraceFateTest, ReplayGivesEveryFaceItsFate) {
  const FateCase& c = GetParam();
  DiceCalculator calculator{ResourcePolicy()};
  RollTrace trace(c.faces);
  auto result = calculator.trace_expression(parse_expression(c.expression), trace);
  ASSERT_TRUE(result.has_value()) << result.error().display();
  std::vector<FaceFate> fates;
  std::vector<FaceOrigin> origins;
  std::vector<std::uint64_t> dice;
  for (const TracedFace& face : trace.faces()) {
    fates.push_back(face.fate);
    origins.push_back(face.origin);
    dice.push_back(face.die);
  }
  EXPECT_EQ(fates, c.fates);
  EXPECT_EQ(origins, c.origins);
  EXPECT_EQ(dice, c.dice);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, RollTraceFateTest,
    ::testing::Values(FateCase{"3d6kh2",
                               {2, 6, 4},
                               {F::Dropped, F::Kept, F::Kept},
                               {O::Roll, O::Roll, O::Roll},
                               {0, 1, 2}},
                      FateCase{"2d6!",
                               {6, 3, 2},
                               {F::Kept, F::Kept, F::Kept},
                               {O::Roll, O::Explode, O::Roll},
                               {0, 0, 1}},
                      FateCase{"2d6r2",
                               {1, 5, 4},
                               {F::Rerolled, F::Kept, F::Kept},
                               {O::Roll, O::Reroll, O::Roll},
                               {0, 0, 1}},
                      FateCase{"1d6R3",
                               {1, 2, 5},
                               {F::Rerolled, F::Rerolled, F::Kept},
                               {O::Roll, O::Reroll, O::Reroll},
                               {0, 0, 0}},
                      FateCase{"1d6a2", {2, 4}, {F::Added, F::Added}, {O::Roll, O::Reroll}, {0, 0}},
                      FateCase{"3d6u",
                               {4, 4, 1},
                               {F::Kept, F::Duplicate, F::Kept},
                               {O::Roll, O::Roll, O::Roll},
                               {0, 1, 2}},
                      FateCase{"3d6c4",
                               {4, 2, 4},
                               {F::Counted, F::Uncounted, F::Counted},
                               {O::Roll, O::Roll, O::Roll},
                               {0, 1, 2}}));

struct FaultCase {
  const char* expression;
  std::vector<std::int64_t> faces;
  ReplayFault fault;
  const char* message;
};

class RollTraceReplayFaultTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(RollTraceReplayFaultTest, FailsWithItsFault) {
  const FaultCase& c = GetParam();
  DiceCalculator calculator{ResourcePolicy()};
  RollTrace trace(c.faces);
  auto result = calculator.trace_expression(parse_expression(c.expression), trace);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(trace.fault(), c.fault);
  EXPECT_EQ(trace.fault_message(), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, RollTraceReplayFaultTest,
    ::testing::Values(
        FaultCase{
            "2d6", {3}, ReplayFault::TooFew, "the expression draws more faces than the 1 given"},
        FaultCase{
            "1d6!", {6}, ReplayFault::TooFew, "the expression draws more faces than the 1 given"},
        FaultCase{"1d4+1d6",
                  {2, 7},
                  ReplayFault::OutOfRange,
                  "face 2 (7) is not a face of a die with 6 sides: it must be from 1 to 6"},
        FaultCase{"1d4",
                  {0},
                  ReplayFault::OutOfRange,
                  "face 1 (0) is not a face of a die with 4 sides: it must be from 1 to 4"},
        FaultCase{"1d4+2",
                  {1, 2, 3},
                  ReplayFault::LeftOver,
                  "2 of the 3 faces left over: the expression draws only 1"},
        FaultCase{"7",
                  {1},
                  ReplayFault::LeftOver,
                  "1 of the 1 faces left over: the expression draws only 0"}));

}  // namespace
}  // namespace kavelo
