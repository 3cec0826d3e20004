// Modifier strings of roll_with_modifiers, and the modifier table read back through the
// parsers and the renderer.
#include "parser/modifier_string.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <string>

#include "calculator/dice_calculator.hpp"
#include "parser/dice_parser.hpp"
#include "parser/direct_parser.hpp"
#include "tree_text.hpp"

namespace kavelo {
namespace {

using K = ModifierKind;

struct StringCase {
  const char* text;
  std::optional<DiceModifier> modifier;  // or the refusal below
  const char* refusal;
  friend void PrintTo(const StringCase& c, std::ostream* out) { *out << "'" << c.text << "'"; }
};

class ModifierStringTest : public ::testing::TestWithParam<StringCase> {};

TEST_P(ModifierStringTest, ReadsOrRefuses) {
  const StringCase& c = GetParam();
  const Result<DiceModifier> read = parse_modifier_string(c.text);
  if (c.modifier) {
    ASSERT_TRUE(read.has_value()) << read.error().display();
    EXPECT_EQ(*read, *c.modifier);
  } else {
    ASSERT_FALSE(read.has_value());
    EXPECT_EQ(read.error().kind(), DiceErrorKind::InvalidModifier);
    EXPECT_EQ(read.error().display(), c.refusal);
  }
}

constexpr const char* kUnknown = "未知的修饰符";

INSTANTIATE_TEST_SUITE_P(
    Strings, ModifierStringTest,
    ::testing::Values(
        StringCase{"!", DiceModifier{K::Explode, 0}, nullptr},
        StringCase{"r1", DiceModifier{K::Reroll, 1}, nullptr},
        StringCase{"ro2", DiceModifier{K::RerollOnce, 2}, nullptr},
        StringCase{"kh+2", DiceModifier{K::KeepHigh, 2}, nullptr},
        StringCase{"kl-0", DiceModifier{K::KeepLow, 0}, nullptr},
        StringCase{"dh007", DiceModifier{K::DropHigh, 7}, nullptr},
        StringCase{"dl2147483647", DiceModifier{K::DropLow, INT32_MAX}, nullptr},
        StringCase{"r-2147483648", DiceModifier{K::Reroll, INT32_MIN}, nullptr},
        // "r" followed by anything but "o" is a reroll whose number may be bad.
        StringCase{"r", std::nullopt, "无效的重投数值"},
        StringCase{"rO3", std::nullopt, "无效的重投数值"},
        StringCase{"r2147483648", std::nullopt, "无效的重投数值"},
        StringCase{"ro", std::nullopt, "无效的条件重投数值"},
        StringCase{"kh", std::nullopt, "无效的取高数值"},
        StringCase{"kh3x", std::nullopt, "无效的取高数值"},
        StringCase{"kh 3", std::nullopt, "无效的取高数值"},
        StringCase{"kh+-3", std::nullopt, "无效的取高数值"},
        StringCase{"kl", std::nullopt, "无效的取低数值"},
        StringCase{"dh-2147483649", std::nullopt, "无效的丢弃高数值"},
        StringCase{"dl", std::nullopt, "无效的丢弃低数值"},
        // Kinds the lists do not take, other spellings, and no letters at all.
        StringCase{"", std::nullopt, kUnknown}, StringCase{"x3", std::nullopt, kUnknown},
        StringCase{"KH3", std::nullopt, kUnknown}, StringCase{"!!", std::nullopt, kUnknown},
        StringCase{"! ", std::nullopt, kUnknown}, StringCase{"k3", std::nullopt, kUnknown},
        StringCase{"e", std::nullopt, kUnknown}, StringCase{"u", std::nullopt, kUnknown},
        StringCase{"s", std::nullopt, kUnknown}, StringCase{"c6", std::nullopt, kUnknown},
        StringCase{"K2", std::nullopt, kUnknown}, StringCase{"R1", std::nullopt, kUnknown},
        StringCase{"a1", std::nullopt, kUnknown}, StringCase{" kh3", std::nullopt, kUnknown},
        StringCase{"d", std::nullopt, kUnknown}));

// Every row of the table, rendered with a value, parses back to the same modifier through
// the grammar and through the direct parser, and as a list string where lists take it.
TEST(ModifierTable, EveryKindRoundTripsThroughTheParsersAndTheRenderer) {
  for (const ModifierSpec& spec : kModifiers) {
    const DiceModifier written{spec.kind, spec.takes_value ? -12 : 0};
    const std::string letters = DiceCalculator::modifiers_to_string({&written, 1});
    EXPECT_EQ(letters, std::string(spec.text) + (spec.takes_value ? "-12" : ""));
    const std::string text = "3d6" + letters;
    Program direct;
    ASSERT_TRUE(parse_program_directly(text, direct)) << text;
    Result<Program> reference = parse_program_through_grammar(text, ResourcePolicy());
    ASSERT_TRUE(reference.has_value()) << text;
    for (const Program* program : {&direct, &*reference}) {
      const ExprNode& dice = program->pool.node(program->instructions.front());
      ASSERT_EQ(program->pool.dice(dice).modifiers.size(), 1u) << text;
      EXPECT_EQ(program->pool.dice(dice).modifiers[0], written) << text;
    }
    const Result<DiceModifier> listed = parse_modifier_string(letters);
    EXPECT_EQ(listed.has_value(), spec.in_lists) << letters;
    if (listed) {
      EXPECT_EQ(*listed, written) << letters;
    }
  }
}

// A number that does not fit 32 bits fails the build with the row's message.
TEST(ModifierTable, EveryValueMessageReachesTheBuilder) {
  for (const ModifierSpec& spec : kModifiers) {
    if (!spec.takes_value) continue;
    const std::string text = "3d6" + std::string(spec.text) + "2147483648";
    auto program = DiceParser::parse_program_with_policy(text, ResourcePolicy());
    ASSERT_FALSE(program.has_value()) << text;
    EXPECT_EQ(program.error(), DiceError::parse_error(spec.value_message)) << text;
  }
}

}  // namespace
}  // namespace kavelo
