// The entry points of the WebAssembly module, called by kavelo.mjs.
//
// JavaScript writes a request's text into the input area (UTF-8), the policy's limits
// into the policy slots and a replay's faces into the face area, then calls an entry
// point. Each entry point runs one request exactly as the Python module's function of
// the same name does (parse, evaluate on a fresh calculator, convert) and leaves its
// answer in the output: JSON text, or the odds in the odds area. The return value says
// which kind of answer it is.
//
// Every request keys its generator from getentropy, which the WASI layer of kavelo.mjs
// serves from crypto.getRandomValues.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "calculator/dice_calculator.hpp"
#include "calculator/roll_trace.hpp"
#include "odds/odds.hpp"
#include "parser/dice_parser.hpp"
#include "resource/resource_policy.hpp"
#include "resource/resource_spec.hpp"
#include "web_bindings/error_json.hpp"
#include "web_bindings/json_text.hpp"
#include "web_bindings/trace_json.hpp"

namespace kavelo::web {

namespace {

// What an entry point left in the output.
enum Answer : std::int32_t {
  kJson = 0,      // JSON text of the result
  kJsonWide = 1,  // the same, with integers past 2^53 - 1 (to be read as BigInt)
  kError = 2,     // JSON text {"message", "code", "english"}
  kOdds = 3,      // the odds area
};

std::string g_input;
std::array<std::uint64_t, kResourceCount> g_policy_slots{};
std::vector<std::int32_t> g_faces;
JsonText g_output;

struct OddsArea {
  std::vector<std::int64_t> outcomes;
  std::vector<double> probabilities;
  // The failures by kind (odds::Failure order), then the truncated mass.
  std::array<double, odds::kFailureKinds + 1> masses{};
} g_odds;

std::string_view input(std::uint32_t size) {
  return std::string_view(g_input.data(), size <= g_input.size() ? size : g_input.size());
}

// The defaults, or the limits JavaScript wrote into the slots. A slot above its hard
// maximum (which a policy made through with_limit never holds) fails like with_limit.
Result<ResourcePolicy> policy_of(std::int32_t use_slots) {
  ResourcePolicy policy;
  if (use_slots == 0) return policy;
  for (std::size_t i = 0; i < kResourceCount; ++i) {
    auto changed = policy.with_limit(static_cast<Resource>(i), g_policy_slots[i]);
    if (!changed) return std::unexpected(changed.error());
    policy = *changed;
  }
  return policy;
}

Answer error(const DiceError& e) {
  g_output.clear();
  write_error(g_output, e);
  return kError;
}

Answer error(std::string_view message) {
  g_output.clear();
  write_error(g_output, message);
  return kError;
}

Answer json_answer() { return g_output.wide_integers() ? kJsonWide : kJson; }

template <class Request>
Answer with_policy(std::int32_t use_slots, Request&& request) {
  auto policy = policy_of(use_slots);
  if (!policy) return error(policy.error());
  return request(*policy);
}

Answer traced(std::string_view text, const ResourcePolicy& policy, RollTrace& trace) {
  auto expression = DiceParser::parse_expression_with_policy(text, policy);
  if (!expression) return error(expression.error());
  DiceCalculator calculator(policy);
  auto result = calculator.trace_expression(*expression, trace);
  if (!result) {
    if (trace.fault() != ReplayFault::None) return error(trace.fault_message());
    return error(result.error());
  }
  g_output.clear();
  write_trace(g_output, *result, trace);
  return json_answer();
}

}  // namespace

}  // namespace kavelo::web

using namespace kavelo;
using namespace kavelo::web;

extern "C" {

// The input area, with room for `size` bytes.
[[clang::export_name("kavelo_input")]] char* kavelo_input(std::uint32_t size) {
  g_input.resize(size);
  return g_input.data();
}

// The seventeen policy slots, in the order of the resource table.
[[clang::export_name("kavelo_policy_slots")]] std::uint64_t* kavelo_policy_slots() {
  return g_policy_slots.data();
}

// The face area, with room for `count` faces.
[[clang::export_name("kavelo_faces")]] std::int32_t* kavelo_faces(std::uint32_t count) {
  g_faces.resize(count);
  return g_faces.data();
}

[[clang::export_name("kavelo_output")]] const char* kavelo_output() {
  return g_output.text().data();
}

[[clang::export_name("kavelo_output_size")]] std::uint32_t kavelo_output_size() {
  return static_cast<std::uint32_t>(g_output.text().size());
}

// The version of the project as a JSON string.
[[clang::export_name("kavelo_version")]] std::int32_t kavelo_version() {
  g_output.clear();
  g_output.string(KAVELO_VERSION);
  return kJson;
}

// The resource table as JSON: [[name, default, hard maximum], ...].
[[clang::export_name("kavelo_resources")]] std::int32_t kavelo_resources() {
  g_output.clear();
  g_output.raw('[');
  for (std::size_t i = 0; i < kResourceCount; ++i) {
    if (i > 0) g_output.raw(',');
    g_output.raw('[');
    g_output.string(RESOURCE_SPECS[i].name);
    g_output.raw(',');
    g_output.unsigned_integer(RESOURCE_SPECS[i].default_limit);
    g_output.raw(',');
    g_output.unsigned_integer(RESOURCE_SPECS[i].hard_max);
    g_output.raw(']');
  }
  g_output.raw(']');
  return kJson;
}

// The names of the odds' failure kinds as JSON, in the order of the odds area.
[[clang::export_name("kavelo_failure_keys")]] std::int32_t kavelo_failure_keys() {
  g_output.clear();
  g_output.raw('[');
  for (int k = 0; k < odds::kFailureKinds; ++k) {
    if (k > 0) g_output.raw(',');
    g_output.string(odds::failure_key(static_cast<odds::Failure>(k)));
  }
  g_output.raw(']');
  return kJson;
}

// The policy of the slots (or the defaults) with one limit replaced: the new limits go
// into the slots. The limit is signed, so that a negative one is refused with the
// core's text.
[[clang::export_name("kavelo_with_limit")]] std::int32_t kavelo_with_limit(std::uint32_t name_size,
                                                                           std::int64_t limit,
                                                                           std::int32_t use_slots) {
  return with_policy(use_slots, [&](const ResourcePolicy& policy) {
    auto changed = policy.with_signed_limit(input(name_size), limit);
    if (!changed) return error(changed.error());
    for (std::size_t i = 0; i < kResourceCount; ++i) {
      g_policy_slots[i] = changed->limit(static_cast<Resource>(i));
    }
    return kJson;
  });
}

// The error of a text refused before it was copied in: `length` UTF-8 bytes against the
// policy's source_bytes.
[[clang::export_name("kavelo_refuse_source")]] std::int32_t kavelo_refuse_source(
    std::uint64_t length, std::int32_t use_slots) {
  return with_policy(use_slots, [&](const ResourcePolicy& policy) {
    return error(DiceError::budget_exceeded(name_of(Resource::SourceBytes), 0, length,
                                            policy.limit(Resource::SourceBytes)));
  });
}

// The code and English text of an error text found outside the engine (the module's own
// checks of faces and options), read back to its row of the error table: answered as an
// error, whose code and English are empty for a text no row produces.
[[clang::export_name("kavelo_explain")]] std::int32_t kavelo_explain(std::uint32_t size) {
  g_output.clear();
  write_error(g_output, input(size));
  return kError;
}

// Parses one expression without evaluating it: an empty answer, or the parse error.
[[clang::export_name("kavelo_check")]] std::int32_t kavelo_check(std::uint32_t size,
                                                                 std::int32_t use_slots) {
  return with_policy(use_slots, [&](const ResourcePolicy& policy) {
    auto expression = DiceParser::parse_expression_with_policy(input(size), policy);
    if (!expression) return error(expression.error());
    g_output.clear();
    g_output.raw("null");
    return kJson;
  });
}

// roll_dice: one expression.
[[clang::export_name("kavelo_roll")]] std::int32_t kavelo_roll(std::uint32_t size,
                                                               std::int32_t use_slots) {
  return with_policy(use_slots, [&](const ResourcePolicy& policy) {
    auto expression = DiceParser::parse_expression_with_policy(input(size), policy);
    if (!expression) return error(expression.error());
    DiceCalculator calculator(policy);
    auto result = calculator.evaluate_expression(*expression);
    if (!result) return error(result.error());
    g_output.clear();
    write_result(g_output, *result);
    return json_answer();
  });
}

// run_program: a program of one or more instructions.
[[clang::export_name("kavelo_run")]] std::int32_t kavelo_run(std::uint32_t size,
                                                             std::int32_t use_slots) {
  return with_policy(use_slots, [&](const ResourcePolicy& policy) {
    auto program = DiceParser::parse_program_with_policy(input(size), policy);
    if (!program) return error(program.error());
    DiceCalculator calculator(policy);
    auto result = calculator.evaluate_program(*program);
    if (!result) return error(result.error());
    g_output.clear();
    write_program(g_output, *result);
    return json_answer();
  });
}

// trace: one expression, rolled with every face recorded.
[[clang::export_name("kavelo_trace")]] std::int32_t kavelo_trace(std::uint32_t size,
                                                                 std::int32_t use_slots) {
  return with_policy(use_slots, [&](const ResourcePolicy& policy) {
    RollTrace trace;
    return traced(input(size), policy, trace);
  });
}

// replay: one expression with the faces of the face area (checked by kavelo.mjs to lie in
// 1..2^31 - 1 and to number at most generated_values).
[[clang::export_name("kavelo_replay")]] std::int32_t kavelo_replay(std::uint32_t size,
                                                                   std::uint32_t face_count,
                                                                   std::int32_t use_slots) {
  return with_policy(use_slots, [&](const ResourcePolicy& policy) {
    const std::size_t count = face_count <= g_faces.size() ? face_count : g_faces.size();
    const std::vector<std::int64_t> faces(g_faces.begin(),
                                          g_faces.begin() + static_cast<std::ptrdiff_t>(count));
    RollTrace trace(faces);
    return traced(input(size), policy, trace);
  });
}

// odds: the distribution of one expression, into the odds area.
[[clang::export_name("kavelo_odds")]] std::int32_t kavelo_odds(std::uint32_t size, double tolerance,
                                                               std::uint64_t max_outcomes,
                                                               std::uint64_t max_work) {
  odds::OddsLimits limits;
  limits.tolerance = tolerance;
  limits.max_outcomes = max_outcomes;
  limits.max_work = max_work;
  // The previous answer's tables go first, so that they do not count against this one.
  g_odds = OddsArea{};
  auto report = odds::compute_odds(input(size), limits);
  if (!report) return error(report.error().text);
  g_odds.outcomes = std::move(report->outcomes);
  g_odds.probabilities = std::move(report->probabilities);
  for (int k = 0; k < odds::kFailureKinds; ++k) g_odds.masses[k] = report->failures[k];
  g_odds.masses[odds::kFailureKinds] = report->truncated;
  return kOdds;
}

// Lets go of what the last request left behind: the odds area, and the input and output
// once they have grown past a megabyte.
[[clang::export_name("kavelo_release")]] void kavelo_release() {
  constexpr std::size_t kKeep = std::size_t{1} << 20;
  g_odds = OddsArea{};
  if (g_input.capacity() > kKeep) std::string().swap(g_input);
  if (g_output.text().capacity() > kKeep) g_output = JsonText{};
  if (g_faces.capacity() > kKeep) std::vector<std::int32_t>().swap(g_faces);
}

[[clang::export_name("kavelo_odds_count")]] std::uint32_t kavelo_odds_count() {
  return static_cast<std::uint32_t>(g_odds.outcomes.size());
}

[[clang::export_name("kavelo_odds_outcomes")]] const std::int64_t* kavelo_odds_outcomes() {
  return g_odds.outcomes.data();
}

[[clang::export_name("kavelo_odds_probabilities")]] const double* kavelo_odds_probabilities() {
  return g_odds.probabilities.data();
}

[[clang::export_name("kavelo_odds_masses")]] const double* kavelo_odds_masses() {
  return g_odds.masses.data();
}

}  // extern "C"
