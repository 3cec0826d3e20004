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
    "6d3a2a5kh3",
    "8d4a2c5",
    "8d4c2c1kh1",
    "10d3!a3u dl2 c4",
    "30d3 s u kl2",
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
      EXPECT_EQ(traced.budget().used(Resource::GeneratedValues),
                plain.budget().used(Resource::GeneratedValues));
      // A trace node per face and per derived value; a plain request records none.
      EXPECT_EQ(traced.budget().used(Resource::TraceNodes),
                trace.faces().size() + trace.derived().size());
      EXPECT_EQ(plain.budget().used(Resource::TraceNodes), 0u);

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
        EXPECT_EQ(replay.faces()[i].into, trace.faces()[i].into) << "face " << i;
      }
      ASSERT_EQ(replay.derived().size(), trace.derived().size());
      for (std::size_t i = 0; i < trace.derived().size(); ++i) {
        EXPECT_EQ(replay.derived()[i].value, trace.derived()[i].value) << "derived " << i;
        EXPECT_EQ(replay.derived()[i].fate, trace.derived()[i].fate) << "derived " << i;
      }
    }
  }
}

// A traced program is the plain program, every instruction recorded in order under the
// one request, with the index of each instruction's first term; its replay must use
// every face of every instruction.
TEST(RollTraceTest, TracedProgramIsThePlainProgramWithItsInstructionsMarked) {
  const Program program = testing::parse_program("1d20+5; 7; 2d6kh1 + 1d4; 3d6!");
  FixedKey plain_key{test_key(3)};
  DiceCalculator plain(ResourcePolicy(), plain_key.source());
  auto expected = plain.evaluate_program(program);
  ASSERT_TRUE(expected.has_value()) << expected.error().display();

  FixedKey traced_key{test_key(3)};
  DiceCalculator traced(ResourcePolicy(), traced_key.source());
  RollTrace trace;
  auto result = traced.trace_program(program, trace);
  ASSERT_TRUE(result.has_value()) << result.error().display();
  ASSERT_EQ(result->results.size(), expected->results.size());
  for (std::size_t i = 0; i < result->results.size(); ++i) {
    EXPECT_EQ(record_of(result->results[i]), record_of(expected->results[i])) << i;
  }
  EXPECT_EQ(traced.budget().used(Resource::RngWords), plain.budget().used(Resource::RngWords));
  const std::vector<std::size_t> starts(trace.instruction_starts().begin(),
                                        trace.instruction_starts().end());
  EXPECT_EQ(starts, (std::vector<std::size_t>{0, 1, 1, 3}));
  ASSERT_EQ(trace.terms().size(), 4u);
  EXPECT_EQ(trace.terms()[2].sides, 4);

  std::vector<std::int64_t> faces;
  for (const TracedFace& face : trace.faces()) faces.push_back(face.value);
  faces.push_back(1);
  FixedKey other_key{test_key(4)};
  DiceCalculator replaying(ResourcePolicy(), other_key.source());
  RollTrace too_many(faces);
  auto left_over = replaying.trace_program(program, too_many);
  ASSERT_FALSE(left_over.has_value());
  EXPECT_EQ(too_many.fault(), ReplayFault::LeftOver);
  faces.pop_back();
  RollTrace exact(faces);
  auto replayed = replaying.trace_program(program, exact);
  ASSERT_TRUE(replayed.has_value()) << replayed.error().display();
  EXPECT_EQ(record_of(replayed->results.back()), record_of(expected->results.back()));
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

// What later modifiers did to derived values, and to the faces that went into them.
struct DerivedCase {
  const char* expression;
  std::vector<std::int64_t> faces;
  std::vector<FaceFate> fates;       // of the faces
  std::vector<std::uint32_t> intos;  // of the faces
  std::vector<std::int64_t> values;  // of the derived values
  std::vector<DerivedKind> kinds;    // of the derived values
  std::vector<FaceFate> derived_fates;
  std::vector<std::uint32_t> derived_intos;
};

using K = DerivedKind;
constexpr std::uint32_t kNone = kNoIndex;

class RollTraceDerivedTest : public ::testing::TestWithParam<DerivedCase> {};

TEST_P(RollTraceDerivedTest, DerivedValuesCarryWhatBecameOfThem) {
  const DerivedCase& c = GetParam();
  DiceCalculator calculator{ResourcePolicy()};
  RollTrace trace(c.faces);
  auto result = calculator.trace_expression(parse_expression(c.expression), trace);
  ASSERT_TRUE(result.has_value()) << result.error().display();
  std::vector<FaceFate> fates;
  std::vector<std::uint32_t> intos;
  for (const TracedFace& face : trace.faces()) {
    fates.push_back(face.fate);
    intos.push_back(face.into);
  }
  std::vector<std::int64_t> values;
  std::vector<DerivedKind> kinds;
  std::vector<FaceFate> derived_fates;
  std::vector<std::uint32_t> derived_intos;
  for (const DerivedValue& value : trace.derived()) {
    values.push_back(value.value);
    kinds.push_back(value.kind);
    derived_fates.push_back(value.fate);
    derived_intos.push_back(value.into);
  }
  EXPECT_EQ(fates, c.fates);
  EXPECT_EQ(intos, c.intos);
  EXPECT_EQ(values, c.values);
  EXPECT_EQ(kinds, c.kinds);
  EXPECT_EQ(derived_fates, c.derived_fates);
  EXPECT_EQ(derived_intos, c.derived_intos);
}

INSTANTIATE_TEST_SUITE_P(
    Chains, RollTraceDerivedTest,
    ::testing::Values(
        // A sum that a keep leaves out: its faces are dropped with it.
        DerivedCase{"2d6a6kh1",
                    {3, 4, 2, 1},
                    {F::Added, F::Added, F::Dropped, F::Dropped},
                    {0, 0, 1, 1},
                    {7, 3},
                    {K::Sum, K::Sum},
                    {F::Kept, F::Dropped},
                    {kNone, kNone}},
        // Two sums of one die are one value.
        DerivedCase{"1d6a2a8",
                    {1, 1, 4},
                    {F::Added, F::Added, F::Added},
                    {0, 0, 1},
                    {2, 6},
                    {K::Sum, K::Sum},
                    {F::Added, F::Kept},
                    {1, kNone}},
        // A sum removed by unique, by a reroll, by keep-zero.
        DerivedCase{"2d6a2u",
                    {1, 3, 2, 2},
                    {F::Added, F::Added, F::Duplicate, F::Duplicate},
                    {0, 0, 1, 1},
                    {4, 4},
                    {K::Sum, K::Sum},
                    {F::Kept, F::Duplicate},
                    {kNone, kNone}},
        DerivedCase{"1d6a3r5",
                    {1, 2, 6},
                    {F::Rerolled, F::Rerolled, F::Kept},
                    {0, 0, kNone},
                    {3},
                    {K::Sum},
                    {F::Rerolled},
                    {kNone}},
        DerivedCase{"1d6a3kh0",
                    {1, 2},
                    {F::Dropped, F::Dropped},
                    {0, 0},
                    {3},
                    {K::Sum},
                    {F::Dropped},
                    {kNone}},
        // A count that a drop removes, and the faces it counted.
        DerivedCase{
            "6d8c8dl1",
            {8, 8, 1, 2, 3, 4},
            {F::Dropped, F::Dropped, F::Uncounted, F::Uncounted, F::Uncounted, F::Uncounted},
            {0, 0, 0, 0, 0, 0},
            {2},
            {K::Count},
            {F::Dropped},
            {kNone}},
        // A count of nothing, counted by a second count.
        DerivedCase{"3d3c5c0",
                    {1, 2, 3},
                    {F::Uncounted, F::Uncounted, F::Uncounted},
                    {0, 0, 0},
                    {0, 1},
                    {K::Count, K::Count},
                    {F::Counted, F::Kept},
                    {1, kNone}},
        // A sum counted, then the count not counted by the next: all of it uncounted.
        DerivedCase{"2d6a2c7c5",
                    {2, 5, 3},
                    {F::Uncounted, F::Uncounted, F::Uncounted},
                    {0, 0, 1},
                    {7, 1, 0},
                    {K::Sum, K::Count, K::Count},
                    {F::Uncounted, F::Uncounted, F::Kept},
                    {1, 2, kNone}},
        DerivedCase{"2d6a2c7",
                    {2, 5, 3},
                    {F::Added, F::Added, F::Uncounted},
                    {0, 0, 1},
                    {7, 1},
                    {K::Sum, K::Count},
                    {F::Counted, F::Kept},
                    {1, kNone}}));

// trace_nodes bounds a trace: one node per face and per derived value, charged as
// recorded, with the limit's own error; a plain roll under the same policy records
// nothing and is not bounded by it.
struct NodeLimitCase {
  const char* expression;
  std::vector<std::int64_t> faces;  // empty: drawn from the generator
  std::uint64_t nodes;              // the nodes the trace records
};

class RollTraceNodeLimitTest : public ::testing::TestWithParam<NodeLimitCase> {};

TEST_P(RollTraceNodeLimitTest, TraceNodesBoundTheTrace) {
  const NodeLimitCase& c = GetParam();
  const Expression expression = parse_expression(c.expression);
  for (const std::uint64_t limit : {c.nodes, c.nodes - 1, std::uint64_t{0}}) {
    SCOPED_TRACE(std::string(c.expression) + " limit " + std::to_string(limit));
    auto policy = ResourcePolicy().with_limit("trace_nodes", limit);
    ASSERT_TRUE(policy.has_value());
    DiceCalculator calculator{*policy};
    RollTrace trace = c.faces.empty() ? RollTrace() : RollTrace(c.faces);
    auto result = calculator.trace_expression(expression, trace);
    if (limit == c.nodes) {
      ASSERT_TRUE(result.has_value()) << result.error().display();
      EXPECT_EQ(calculator.budget().used(Resource::TraceNodes), c.nodes);
    } else {
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error().display(), "[limit.trace_nodes] 计算预算已耗尽: used " +
                                              std::to_string(limit) + ", requested 1, limit " +
                                              std::to_string(limit));
    }
    DiceCalculator plain{*policy};
    EXPECT_TRUE(plain.evaluate_expression(expression).has_value());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, RollTraceNodeLimitTest,
    ::testing::Values(NodeLimitCase{"20d6", {}, 20},             // the bulk draw of plain dice
                      NodeLimitCase{"5d6", {1, 2, 3, 4, 5}, 5},  // replayed
                      NodeLimitCase{"3d6!", {6, 2, 3, 4}, 4},    // an explosion
                      NodeLimitCase{"2d6a6", {1, 2, 3, 4}, 6},   // faces and sums
                      NodeLimitCase{"3d6c6", {6, 2, 6}, 4},      // a count
                      NodeLimitCase{"2d4+3d4c1", {1, 2, 3, 4, 1}, 6}));

}  // namespace
}  // namespace kavelo
