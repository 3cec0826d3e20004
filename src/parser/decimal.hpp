// Conversion of number texts to integers of a fixed width.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <type_traits>

namespace kavelo {

// Accepts an optional single "+" or "-", then one or more ASCII digits (leading zeros
// allowed) whose value fits T; the minimum of T is accepted. Anything else gives nothing.
template <class T>
[[nodiscard]] constexpr std::optional<T> parse_decimal(std::string_view text) noexcept {
  static_assert(std::is_integral_v<T> && std::is_signed_v<T>);
  using U = std::make_unsigned_t<T>;
  std::size_t i = 0;
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    i = 1;
  }
  if (i == text.size()) return std::nullopt;
  const U bound = static_cast<U>(std::numeric_limits<T>::max()) + (negative ? 1u : 0u);
  U magnitude = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return std::nullopt;
    const U digit = static_cast<U>(c - '0');
    if (magnitude > (bound - digit) / 10) return std::nullopt;
    magnitude = static_cast<U>(magnitude * 10 + digit);
  }
  // Unsigned negation then conversion is exact for the minimum (two's complement).
  return negative ? static_cast<T>(static_cast<U>(U{0} - magnitude)) : static_cast<T>(magnitude);
}

}  // namespace kavelo
