#include "types/canonical_json.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

namespace kavelo {
namespace {

DiceResult record(std::string expression, std::int64_t total,
                  std::vector<std::vector<std::int64_t>> groups, std::string details,
                  std::optional<std::string> comment) {
  DiceResult r;
  r.expression = std::move(expression);
  r.total = total;
  for (const auto& g : groups) r.rolls.push_group(g);
  r.details = std::move(details);
  r.comment = std::move(comment);
  return r;
}

std::string text_of(const DiceResult& r) {
  std::string out;
  append_canonical(out, r);
  return out;
}

TEST(CanonicalJsonTest, RendersTheDocumentedRecord) {
  DiceResult r = record("1d6", 4, {{4}}, "4", std::nullopt);
  EXPECT_EQ(text_of(r),
            R"({"expression":"1d6","total":4,"rolls":[[4]],"details":"4","comment":null})");
  EXPECT_EQ(canonical_length(r), 73u);
  EXPECT_EQ(item_count(r), 2u);
}

TEST(CanonicalJsonTest, RendersGroupsCommentsAndEmptyRolls) {
  DiceResult r = record("(2d6) + (3)", -7, {{6}, {5, 3}}, "x", "火球 \"big\"");
  EXPECT_EQ(text_of(r),
            R"j({"expression":"(2d6) + (3)","total":-7,"rolls":[[6],[5,3]],"details":"x",)j"
            R"j("comment":"火球 \"big\""})j");
  EXPECT_EQ(canonical_length(r), text_of(r).size());
  EXPECT_EQ(item_count(r), 4u);

  DiceResult empty = record("5", 5, {}, "5", std::nullopt);
  EXPECT_NE(text_of(empty).find(R"("rolls":[])"), std::string::npos);
  EXPECT_EQ(item_count(empty), 1u);
}

// The evaluator's texts need no escapes: measured by their sizes, they give the length
// measured byte by byte; only the comment is read.
TEST(CanonicalJsonTest, EvaluatedLengthAgreesOnTheEvaluatorsTexts) {
  const std::vector<DiceResult> records = {
      record("((4d6) + (2)) ^ (-3)", -9, {{6}, {-5, 3}},
             "4d6kh-3!ro1R2a3K4c5usdh1dl2 = -9 (详情: [[6], [-5, 3]])", std::nullopt),
      record("", 0, {}, "0", std::string("\"q\"\\\n\x01 火球")),
      record("(1) / (2)", 0, {{9223372036854775807}}, "1 / 2 = 0", std::string("")),
  };
  ProgramResult program;
  for (const DiceResult& r : records) {
    EXPECT_EQ(evaluated_length(r), canonical_length(r)) << text_of(r);
    program.results.push_back(r);
  }
  program.comment = "a \"b\"";
  EXPECT_EQ(evaluated_length(program), canonical_length(program));
}

TEST(CanonicalJsonTest, EmptyProgramAndBatch) {
  ProgramResult program;
  std::string out;
  append_canonical(out, program);
  EXPECT_EQ(out, R"({"results":[],"comment":null})");
  EXPECT_EQ(canonical_length(program), 29u);
  std::vector<DiceResult> batch;
  EXPECT_EQ(canonical_length(std::span<const DiceResult>(batch)), 2u);
}

struct IntegerCase {
  std::int64_t value;
  const char* text;
};

class IntegerTextTest : public ::testing::TestWithParam<IntegerCase> {};

TEST_P(IntegerTextTest, LengthMatchesDecimalText) {
  std::string out;
  append_canonical(out, GetParam().value);
  EXPECT_EQ(out, GetParam().text);
  EXPECT_EQ(decimal_length(GetParam().value), out.size());
}

INSTANTIATE_TEST_SUITE_P(Extremes, IntegerTextTest,
                         ::testing::Values(IntegerCase{0, "0"}, IntegerCase{-3, "-3"},
                                           IntegerCase{9, "9"}, IntegerCase{10, "10"},
                                           IntegerCase{-10, "-10"},
                                           IntegerCase{999999999999999999, "999999999999999999"},
                                           IntegerCase{1000000000000000000, "1000000000000000000"},
                                           IntegerCase{INT64_MAX, "9223372036854775807"},
                                           IntegerCase{INT64_MIN, "-9223372036854775808"}));

struct EscapeCase {
  std::string text;
  std::string json;
};

class StringEscapeTest : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(StringEscapeTest, EscapesByByte) {
  DiceResult r = record("", 0, {}, GetParam().text, std::nullopt);
  std::string expected = R"({"expression":"","total":0,"rolls":[],"details":)" + GetParam().json +
                         R"(,"comment":null})";
  EXPECT_EQ(text_of(r), expected);
  EXPECT_EQ(json_string_length(GetParam().text), GetParam().json.size());
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, StringEscapeTest,
    ::testing::Values(EscapeCase{"a\"b", R"("a\"b")"}, EscapeCase{"a\\b", R"("a\\b")"},
                      EscapeCase{"\n", R"("\n")"}, EscapeCase{"\t", R"("\t")"},
                      EscapeCase{"\b\f\r", R"("\b\f\r")"},
                      EscapeCase{std::string("\x01", 1), R"("\u0001")"},
                      EscapeCase{std::string("\0", 1), R"("\u0000")"},
                      EscapeCase{"\x1f", R"("\u001f")"}, EscapeCase{"\x7f", "\"\x7f\""},
                      EscapeCase{"详情", "\"详情\""}, EscapeCase{"/", R"("/")"}));

// Random records over the whole byte range: the computed length equals the built text.
TEST(CanonicalJsonTest, ComputedLengthEqualsBuiltTextOverManyRecords) {
  std::mt19937_64 rng(12345);
  auto random_text = [&](std::size_t max_len) {
    std::string s(rng() % (max_len + 1), '\0');
    for (char& c : s) {
      switch (rng() % 4) {
        case 0: c = static_cast<char>(rng() % 0x20); break;  // control bytes
        case 1: c = "\"\\/\x7f"[rng() % 4]; break;
        case 2: c = static_cast<char>(0x80 + rng() % 0x80); break;  // UTF-8 continuation range
        default: c = static_cast<char>(0x20 + rng() % 0x5f); break;
      }
    }
    return s;
  };
  auto random_int = [&]() -> std::int64_t {
    switch (rng() % 4) {
      case 0: return static_cast<std::int64_t>(rng());
      case 1: return rng() % 2 ? INT64_MIN : INT64_MAX;
      case 2: return static_cast<std::int64_t>(rng() % 21) - 10;
      default: return static_cast<std::int64_t>(rng() % 2000000) - 1000000;
    }
  };
  std::vector<DiceResult> batch;
  for (int i = 0; i < 2000; ++i) {
    std::vector<std::vector<std::int64_t>> groups(rng() % 5);
    for (auto& g : groups) {
      g.resize(1 + rng() % 4);
      for (auto& v : g) v = random_int();
    }
    std::optional<std::string> comment;
    if (rng() % 2) comment = random_text(12);
    DiceResult r = record(random_text(10), random_int(), groups, random_text(30), comment);
    ASSERT_EQ(canonical_length(r), text_of(r).size()) << text_of(r);
    batch.push_back(std::move(r));
  }
  std::string whole;
  append_canonical(whole, std::span<const DiceResult>(batch));
  EXPECT_EQ(canonical_length(std::span<const DiceResult>(batch)), whole.size());

  ProgramResult program;
  program.results.assign(batch.begin(), batch.begin() + 50);
  program.comment = "注释 \"x\"\n";
  std::string program_text;
  append_canonical(program_text, program);
  EXPECT_EQ(canonical_length(program), program_text.size());
}

// Extra bytes one byte costs in a JSON string: a two-character escape for the quote,
// the backslash and \b \t \n \f \r, six characters for the other control bytes.
std::uint64_t escape_extra(unsigned char byte) {
  if (byte == '"' || byte == '\\' || byte == 0x08 || byte == 0x09 || byte == 0x0A || byte == 0x0C ||
      byte == 0x0D) {
    return 1;
  }
  return byte < 0x20 ? 5 : 0;
}

// Every byte value at every position of a text spanning several eight-byte words, and
// words holding several escapes or the bytes on both sides of the escaped ranges.
TEST(CanonicalJsonTest, StringLengthCountsEachByteWhereverItStands) {
  const std::string base = "abcdefghijklmnopqrstuvwxyz0123";  // nothing to escape
  for (int byte = 0; byte < 256; ++byte) {
    for (std::size_t at = 0; at < base.size(); ++at) {
      std::string text = base;
      text[at] = static_cast<char>(byte);
      ASSERT_EQ(json_string_length(text), 2 + base.size() + escape_extra(byte))
          << "byte " << byte << " at " << at;
    }
  }
  for (const std::string& text : {std::string("\"\\\n\x01\"\\\t\x1f"),
                                  std::string("\x1f\x20\x21\x22\x5b\x5c\x5d\x7f\x80\xff!")}) {
    std::uint64_t expected = 2 + text.size();
    for (unsigned char c : text) expected += escape_extra(c);
    EXPECT_EQ(json_string_length(text), expected);
  }
}

TEST(CanonicalJsonTest, ItemCountIsOnePlusTheValues) {
  DiceResult r = record("", 0, {{1, 2, 3}}, "", std::nullopt);
  EXPECT_EQ(item_count(r), 4u);
}

}  // namespace
}  // namespace kavelo
