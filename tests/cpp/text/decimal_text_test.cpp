#include "text/decimal_text.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace kavelo {
namespace {

// The writer against std::to_string for every width it serves, at the edges of the
// single-digit shortcut and of each type's range.
template <class T>
void expect_same_as_to_string(T value) {
  std::string text = "x";
  append_decimal(text, value);
  // Built by appending: `"x" + std::to_string(value)` makes g++ 12 report a -Wrestrict
  // overlap inside std::string's insert that cannot happen (a known false positive).
  std::string expected = "x";
  expected += std::to_string(value);
  EXPECT_EQ(text, expected);
  char buffer[kDecimalRoom<T>];
  EXPECT_EQ(write_decimal(buffer, value) - buffer, static_cast<std::ptrdiff_t>(text.size() - 1));
}

template <class T>
void expect_edges() {
  using limits = std::numeric_limits<T>;
  for (T value : {T{0}, T{1}, T{9}, T{10}, T{99}, T{100}, limits::max(), T(limits::max() - 1),
                  limits::min(), T(limits::min() + 1)}) {
    expect_same_as_to_string(value);
  }
  if constexpr (limits::is_signed) {
    for (T value : {T{-1}, T{-9}, T{-10}}) expect_same_as_to_string(value);
  }
}

TEST(DecimalText, WritesEveryWidthLikeToString) {
  expect_edges<std::int32_t>();
  expect_edges<std::uint32_t>();
  expect_edges<std::int64_t>();
  expect_edges<std::uint64_t>();
}

TEST(DecimalText, RoomFitsTheLongestText) {
  EXPECT_EQ(kDecimalRoom<std::int32_t>, std::string("-2147483648").size());
  EXPECT_EQ(kDecimalRoom<std::uint32_t>, std::string("4294967295").size());
  EXPECT_EQ(kDecimalRoom<std::int64_t>, std::string("-9223372036854775808").size());
  EXPECT_EQ(kDecimalRoom<std::uint64_t>, std::string("18446744073709551615").size());
}

TEST(DecimalText, LengthMatchesTheWrittenText) {
  for (std::int64_t value : {std::int64_t{0}, std::int64_t{-1}, std::int64_t{9}, std::int64_t{-10},
                             std::int64_t{1000000}, std::numeric_limits<std::int64_t>::max(),
                             std::numeric_limits<std::int64_t>::min()}) {
    EXPECT_EQ(decimal_length(value), std::to_string(value).size()) << value;
  }
}

}  // namespace
}  // namespace kavelo
