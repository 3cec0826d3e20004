// A small JSON reader for test data files: objects, arrays, strings without escapes,
// and numbers, which are kept as their source text so that 64-bit values survive.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace kavelo::testing {

struct JsonValue {
  enum class Type { Null, Number, String, Array, Object };

  Type type = Type::Null;
  std::string text;  // String contents, or the literal text of a Number
  std::vector<JsonValue> items;
  std::map<std::string, JsonValue, std::less<>> members;

  // Member and item access; a missing entry fails the current test and gives a null.
  [[nodiscard]] const JsonValue& operator[](std::string_view key) const;
  [[nodiscard]] const JsonValue& operator[](std::size_t index) const;
  [[nodiscard]] std::size_t size() const noexcept { return items.size(); }

  [[nodiscard]] std::uint64_t as_u64() const;      // a Number, or a String of decimal digits
  [[nodiscard]] std::uint64_t as_hex_u64() const;  // a String of hex digits
  [[nodiscard]] const std::string& as_string() const;
};

// Reads and parses a file of the test data directory; a fault fails the current test.
[[nodiscard]] JsonValue load_test_json(std::string_view file_name);

// The bytes of a hex string, two digits per byte.
[[nodiscard]] std::vector<std::uint8_t> hex_bytes(std::string_view hex);

}  // namespace kavelo::testing
