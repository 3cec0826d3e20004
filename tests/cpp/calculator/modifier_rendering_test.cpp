// Modifier lists written back in their short forms, alone and inside dice details.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "support/evaluation_fixture.hpp"

namespace kavelo {
namespace {

using testing::mod;
using K = ModifierKind;

struct RenderCase {
  const char* name;
  std::vector<DiceModifier> modifiers;
  const char* text;
  friend void PrintTo(const RenderCase& c, std::ostream* out) { *out << c.name; }
};

class ModifierRenderingTest : public ::testing::TestWithParam<RenderCase> {};

TEST_P(ModifierRenderingTest, WritesEachKindInItsOwnForm) {
  EXPECT_EQ(DiceCalculator::modifiers_to_string(GetParam().modifiers), GetParam().text);
}

// One row per kind (the valueless kinds carry a stray value that must not show), then
// lists: forms are joined with nothing between them, in list order, never merged.
const RenderCase kRenderCases[] = {
    {"explode", {mod(K::Explode, 9)}, "!"},
    {"explode_alias", {mod(K::ExplodeAlias, 9)}, "e"},
    {"explode_keep_high", {mod(K::ExplodeKeepHigh, 2)}, "K2"},
    {"reroll", {mod(K::Reroll, 1)}, "r1"},
    {"reroll_once", {mod(K::RerollOnce, 2)}, "ro2"},
    {"reroll_until", {mod(K::RerollUntil, 3)}, "R3"},
    {"reroll_add", {mod(K::RerollAdd, 4)}, "a4"},
    {"keep_alias", {mod(K::KeepAlias, 5)}, "k5"},
    {"keep_high", {mod(K::KeepHigh, 6)}, "kh6"},
    {"keep_low", {mod(K::KeepLow, 7)}, "kl7"},
    {"drop_high", {mod(K::DropHigh, 8)}, "dh8"},
    {"drop_low", {mod(K::DropLow, 10)}, "dl10"},
    {"unique", {mod(K::Unique, 9)}, "u"},
    {"sort", {mod(K::Sort, 9)}, "s"},
    {"count", {mod(K::Count, 11)}, "c11"},
    {"empty", {}, ""},
    {"explode_then_keep", {mod(K::Explode), mod(K::KeepHigh, 3)}, "!kh3"},
    {"alias_unique_sort_count",
     {mod(K::KeepAlias, 2), mod(K::Unique), mod(K::Sort), mod(K::Count, 6)},
     "k2usc6"},
    {"negative_value", {mod(K::DropLow, -1)}, "dl-1"},
    {"zero_value", {mod(K::Reroll, 0)}, "r0"},
    {"both_explode_spellings", {mod(K::ExplodeAlias), mod(K::Explode)}, "e!"},
    {"repeats_kept", {mod(K::KeepHigh, 3), mod(K::KeepHigh, 3)}, "kh3kh3"},
    {"widest_values",
     {mod(K::Count, INT32_MIN), mod(K::KeepLow, INT32_MAX)},
     "c-2147483648kl2147483647"},
};

INSTANTIATE_TEST_SUITE_P(Forms, ModifierRenderingTest, ::testing::ValuesIn(kRenderCases),
                         [](const auto& info) { return std::string(info.param.name); });

// In the details the modifiers follow count "d" sides as the source spelled them, while
// the expression text never shows them.
TEST(ModifierRendering, DetailsShowTheSourceSpelling) {
  // No face is 1, so ro1 rerolls nothing; k3 keeps 6, 5, 3; dh-1 drops every value.
  testing::ScriptedCalculator calculator(6, {5, 2, 6, 3});
  auto result = calculator->evaluate_expression(testing::parse_expression("4d6ro1k3dh-1s"));
  ASSERT_TRUE(result.has_value()) << result.error().display();
  EXPECT_EQ(result->expression, "4d6");
  EXPECT_EQ(result->details, "4d6ro1k3dh-1s = 0 (详情: [])");
}

}  // namespace
}  // namespace kavelo
