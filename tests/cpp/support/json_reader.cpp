#include "support/json_reader.hpp"

#include <gtest/gtest.h>

#include <charconv>
#include <fstream>
#include <sstream>

namespace kavelo::testing {

namespace {

const JsonValue& null_value() {
  static const JsonValue value;
  return value;
}

// Recursive descent over the document; `ok` turns false at the first fault.
class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  JsonValue document() {
    JsonValue value = parse_value();
    skip_space();
    if (pos_ != text_.size()) fail("trailing text");
    return value;
  }

  bool ok = true;
  std::string error;

 private:
  void fail(const std::string& what) {
    if (ok) error = what + " at offset " + std::to_string(pos_);
    ok = false;
    pos_ = text_.size();
  }

  void skip_space() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\n' ||
                                   text_[pos_] == '\r' || text_[pos_] == '\t')) {
      ++pos_;
    }
  }

  // Consumes `c` after optional space, or fails.
  bool expect(char c) {
    skip_space();
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    fail(std::string("expected '") + c + "'");
    return false;
  }

  bool next_is(char c) {
    skip_space();
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }

  std::string parse_string() {
    std::string out;
    if (!expect('"')) return out;
    std::size_t end = text_.find('"', pos_);
    if (end == std::string_view::npos) {
      fail("unterminated string");
      return out;
    }
    out = std::string(text_.substr(pos_, end - pos_));
    if (out.find('\\') != std::string::npos) fail("escapes are not supported");
    pos_ = end + 1;
    return out;
  }

  JsonValue parse_value() {
    JsonValue value;
    skip_space();
    if (pos_ >= text_.size()) {
      fail("unexpected end");
      return value;
    }
    const char c = text_[pos_];
    if (c == '"') {
      value.type = JsonValue::Type::String;
      value.text = parse_string();
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      const std::size_t start = pos_++;
      while (pos_ < text_.size() &&
             std::string_view("0123456789.eE+-").find(text_[pos_]) != std::string_view::npos) {
        ++pos_;
      }
      value.type = JsonValue::Type::Number;
      value.text = std::string(text_.substr(start, pos_ - start));
    } else if (c == '[') {
      ++pos_;
      value.type = JsonValue::Type::Array;
      if (next_is(']')) return value;
      do {
        value.items.push_back(parse_value());
      } while (ok && next_is(','));
      expect(']');
    } else if (c == '{') {
      ++pos_;
      value.type = JsonValue::Type::Object;
      if (next_is('}')) return value;
      do {
        std::string key = parse_string();
        if (!expect(':')) break;
        value.members.insert_or_assign(std::move(key), parse_value());
      } while (ok && next_is(','));
      expect('}');
    } else {
      fail(std::string("unexpected character '") + c + "'");
    }
    return value;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

}  // namespace

const JsonValue& JsonValue::operator[](std::string_view key) const {
  auto it = members.find(key);
  if (type != Type::Object || it == members.end()) {
    ADD_FAILURE() << "JSON object has no member '" << key << "'";
    return null_value();
  }
  return it->second;
}

const JsonValue& JsonValue::operator[](std::size_t index) const {
  if (type != Type::Array || index >= items.size()) {
    ADD_FAILURE() << "JSON array has no item " << index;
    return null_value();
  }
  return items[index];
}

std::uint64_t JsonValue::as_u64() const {
  std::uint64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (type == Type::Null || type == Type::Array || type == Type::Object || ec != std::errc() ||
      end != text.data() + text.size()) {
    ADD_FAILURE() << "not an unsigned 64-bit decimal: '" << text << "'";
  }
  return value;
}

std::uint64_t JsonValue::as_hex_u64() const {
  std::uint64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (type != Type::String || ec != std::errc() || end != text.data() + text.size()) {
    ADD_FAILURE() << "not a 64-bit hex string: '" << text << "'";
  }
  return value;
}

const std::string& JsonValue::as_string() const {
  if (type != Type::String) ADD_FAILURE() << "JSON value is not a string";
  return text;
}

JsonValue load_test_json(std::string_view file_name) {
  const std::string path = std::string(KAVELO_TEST_DATA_DIR) + "/" + std::string(file_name);
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  if (!in) {
    ADD_FAILURE() << "cannot read " << path;
    return {};
  }
  const std::string text = buffer.str();
  Reader reader(text);
  JsonValue document = reader.document();
  if (!reader.ok) {
    ADD_FAILURE() << path << ": " << reader.error;
    return {};
  }
  return document;
}

std::vector<std::uint8_t> hex_bytes(std::string_view hex) {
  std::vector<std::uint8_t> bytes;
  if (hex.size() % 2 != 0) ADD_FAILURE() << "odd hex length " << hex.size();
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    unsigned byte = 0;
    auto [end, ec] = std::from_chars(hex.data() + i, hex.data() + i + 2, byte, 16);
    if (ec != std::errc() || end != hex.data() + i + 2) ADD_FAILURE() << "bad hex at " << i;
    bytes.push_back(static_cast<std::uint8_t>(byte));
  }
  return bytes;
}

}  // namespace kavelo::testing
