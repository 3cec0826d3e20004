// A small JSON reader for test data files: objects, arrays, strings (with the common
// escapes), integers and literals. Numbers are kept as their source text so that
// 64-bit values survive; tests convert them as they need.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kavelo::testing {

class JsonValue {
 public:
  enum class Type { Null, Bool, Number, String, Array, Object };

  Type type = Type::Null;
  bool boolean = false;
  std::string text;  // String contents, or the literal text of a Number
  std::vector<JsonValue> items;
  std::map<std::string, JsonValue, std::less<>> members;

  // Member access; a missing member or a wrong type fails the current test and
  // returns a shared null value.
  [[nodiscard]] const JsonValue& operator[](std::string_view key) const;
  [[nodiscard]] const JsonValue& operator[](std::size_t index) const;
  [[nodiscard]] std::size_t size() const noexcept { return items.size(); }

  [[nodiscard]] std::uint64_t as_u64() const;          // Number, or String of decimal digits
  [[nodiscard]] std::uint64_t as_hex_u64() const;      // String of hex digits
  [[nodiscard]] const std::string& as_string() const;
};

// The parsed document, or nothing with `error` describing the first fault.
[[nodiscard]] std::optional<JsonValue> parse_json(std::string_view text, std::string* error);

// Reads and parses a file below the test data directory; fails the test on error.
[[nodiscard]] JsonValue load_test_json(std::string_view file_name);

// Bytes of a hex string (two digits per byte).
[[nodiscard]] std::vector<std::uint8_t> hex_bytes(std::string_view hex);

}  // namespace kavelo::testing
