#include "errors/dice_error.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace kavelo {
namespace {

struct DisplayCase {
  const char* label;
  DiceError error;
  std::string expected;
};

class DisplayTextTest : public ::testing::TestWithParam<DisplayCase> {};

TEST_P(DisplayTextTest, RendersExactText) {
  EXPECT_EQ(GetParam().error.display(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    EveryKind, DisplayTextTest,
    ::testing::Values(
        DisplayCase{"parse", DiceError::parse_error("无效数字"), "解析错误: 无效数字"},
        DisplayCase{"overflow", DiceError::arithmetic_overflow("dice result aggregation"),
                    "[arithmetic.overflow] checked i64 overflow during dice result aggregation"},
        DisplayCase{"divzero", DiceError::division_by_zero(),
                    "[arithmetic.divide_by_zero] 除零错误"},
        DisplayCase{"exponent_negative", DiceError::invalid_exponent(-1),
                    "[arithmetic.invalid_exponent] exponent -1 must fit unsigned 32-bit range"},
        DisplayCase{"exponent_min", DiceError::invalid_exponent(INT64_MIN),
                    "[arithmetic.invalid_exponent] exponent -9223372036854775808 must fit "
                    "unsigned 32-bit range"},
        DisplayCase{"exponent_large", DiceError::invalid_exponent(4294967296),
                    "[arithmetic.invalid_exponent] exponent 4294967296 must fit unsigned 32-bit "
                    "range"},
        DisplayCase{"entropy", DiceError::entropy_unavailable("OS Error: 38"),
                    "[random.entropy_unavailable] operating-system entropy is unavailable: OS "
                    "Error: 38"},
        DisplayCase{"invalid_dice", DiceError::invalid_dice_expression("骰子数量和面数必须大于0"),
                    "无效的骰子表达式: 骰子数量和面数必须大于0"},
        DisplayCase{"instructions", DiceError::instruction_limit_exceeded(3),
                    "[limit.parsed_instructions] 程序指令数量超过限制: 最多 3 条"},
        DisplayCase{"budget", DiceError::budget_exceeded("source_bytes", 0, 65537, 65536),
                    "[limit.source_bytes] 计算预算已耗尽: used 0, requested 65537, limit 65536"},
        DisplayCase{"budget_max",
                    DiceError::budget_exceeded("work_units", UINT64_MAX, UINT64_MAX, UINT64_MAX),
                    "[limit.work_units] 计算预算已耗尽: used 18446744073709551615, requested "
                    "18446744073709551615, limit 18446744073709551615"},
        DisplayCase{"generated", DiceError::generated_values_exceeded(2, 1, 7),
                    "[limit.generated_values] 计算预算已耗尽: 最多生成 7 个骰子结果; used 2, "
                    "requested 1"},
        DisplayCase{"unknown", DiceError::unknown_limit("Work_Units"),
                    "[policy.invalid_limit] unknown resource limit: Work_Units"},
        DisplayCase{"unknown_empty", DiceError::unknown_limit(""),
                    "[policy.invalid_limit] unknown resource limit: "},
        DisplayCase{"above_hard_max",
                    DiceError::limit_above_hard_max("output_bytes", 67108865, 67108864),
                    "[policy.limit_above_hard_max] output_bytes limit 67108865 exceeds hard "
                    "maximum 67108864"},
        DisplayCase{"negative_limit", DiceError::negative_limit("点数"),
                    "[policy.invalid_limit] 点数 limit must be non-negative"},
        DisplayCase{"invalid_modifier", DiceError::invalid_modifier("未知的修饰符"),
                    "未知的修饰符"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(DiceErrorTest, EqualityComparesNamesByContent) {
  std::string a = "addition";
  std::string b = "addition";
  EXPECT_EQ(DiceError::arithmetic_overflow(a.c_str()), DiceError::arithmetic_overflow(b.c_str()));
  EXPECT_NE(DiceError::arithmetic_overflow("addition"),
            DiceError::arithmetic_overflow("subtraction"));
}

}  // namespace
}  // namespace kavelo
