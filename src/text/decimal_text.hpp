// Integers as plain decimal text: the one writer behind error texts, syntax error
// reports, details, rendered modifiers and the canonical JSON, and the length of that
// text for output sizing.
#pragma once

#include <charconv>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

namespace kavelo {

// Most bytes the decimal text of a T takes: its digits and, for a signed T, a "-".
template <std::integral T>
inline constexpr std::size_t kDecimalRoom =
    static_cast<std::size_t>(std::numeric_limits<T>::digits10) + 1 +
    (std::numeric_limits<T>::is_signed ? 1 : 0);

// Writes `value` at `out`, which has room for kDecimalRoom<T> bytes, with a leading "-"
// when it is negative; returns the end of the text. Single digits, the most common
// values of rolls, are written directly.
template <std::integral T>
inline char* write_decimal(char* out, T value) noexcept {
  static_assert(sizeof(T) <= sizeof(std::uint64_t));
  if (static_cast<std::uint64_t>(value) < 10) {  // 0 to 9; a negative value is huge here
    *out = static_cast<char>('0' + static_cast<int>(value));
    return out + 1;
  }
  return std::to_chars(out, out + kDecimalRoom<T>, value).ptr;
}

template <std::integral T>
void append_decimal(std::string& out, T value) {
  char buffer[kDecimalRoom<T>];
  out.append(buffer, write_decimal(buffer, value));
}

// Byte length of the decimal text of `value` (1 to 20).
[[nodiscard]] constexpr std::uint64_t decimal_length(std::int64_t value) noexcept {
  if (static_cast<std::uint64_t>(value) < 10) return 1;  // most faces
  std::uint64_t magnitude =
      value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  std::uint64_t digits = 1;
  while (magnitude >= 10) {
    magnitude /= 10;
    ++digits;
  }
  return digits + (value < 0 ? 1 : 0);
}

}  // namespace kavelo
