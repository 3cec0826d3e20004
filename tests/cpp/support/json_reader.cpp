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

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  std::optional<JsonValue> document(std::string* error) {
    JsonValue value;
    if (!parse_value(value)) {
      if (error) *error = error_ + " at offset " + std::to_string(pos_);
      return std::nullopt;
    }
    skip_space();
    if (pos_ != text_.size()) {
      if (error) *error = "trailing text at offset " + std::to_string(pos_);
      return std::nullopt;
    }
    return value;
  }

 private:
  bool fail(std::string message) {
    error_ = std::move(message);
    return false;
  }

  void skip_space() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\n' ||
                                   text_[pos_] == '\r' || text_[pos_] == '\t')) {
      ++pos_;
    }
  }

  bool literal(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return fail("bad literal");
    pos_ += word.size();
    return true;
  }

  bool parse_value(JsonValue& out) {
    skip_space();
    if (pos_ >= text_.size()) return fail("unexpected end");
    char c = text_[pos_];
    if (c == '{') return parse_object(out);
    if (c == '[') return parse_array(out);
    if (c == '"') {
      out.type = JsonValue::Type::String;
      return parse_string(out.text);
    }
    if (c == 't' || c == 'f') {
      out.type = JsonValue::Type::Bool;
      out.boolean = c == 't';
      return literal(c == 't' ? "true" : "false");
    }
    if (c == 'n') return literal("null");
    if (c == '-' || (c >= '0' && c <= '9')) {
      std::size_t start = pos_++;
      while (pos_ < text_.size() && std::string_view("0123456789.eE+-").find(text_[pos_]) !=
                                        std::string_view::npos) {
        ++pos_;
      }
      out.type = JsonValue::Type::Number;
      out.text = std::string(text_.substr(start, pos_ - start));
      return true;
    }
    return fail(std::string("unexpected character '") + c + "'");
  }

  bool parse_string(std::string& out) {
    ++pos_;  // opening quote
    while (pos_ < text_.size()) {
      char c = text_[pos_++];
      if (c == '"') return true;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= text_.size()) break;
      char e = text_[pos_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        default: return fail("unsupported escape");
      }
    }
    return fail("unterminated string");
  }

  bool parse_array(JsonValue& out) {
    out.type = JsonValue::Type::Array;
    ++pos_;
    skip_space();
    if (pos_ < text_.size() && text_[pos_] == ']') {
      ++pos_;
      return true;
    }
    for (;;) {
      out.items.emplace_back();
      if (!parse_value(out.items.back())) return false;
      skip_space();
      if (pos_ >= text_.size()) return fail("unterminated array");
      char c = text_[pos_++];
      if (c == ']') return true;
      if (c != ',') return fail("expected ',' or ']'");
    }
  }

  bool parse_object(JsonValue& out) {
    out.type = JsonValue::Type::Object;
    ++pos_;
    skip_space();
    if (pos_ < text_.size() && text_[pos_] == '}') {
      ++pos_;
      return true;
    }
    for (;;) {
      skip_space();
      if (pos_ >= text_.size() || text_[pos_] != '"') return fail("expected member name");
      std::string key;
      if (!parse_string(key)) return false;
      skip_space();
      if (pos_ >= text_.size() || text_[pos_++] != ':') return fail("expected ':'");
      JsonValue value;
      if (!parse_value(value)) return false;
      out.members.insert_or_assign(std::move(key), std::move(value));
      skip_space();
      if (pos_ >= text_.size()) return fail("unterminated object");
      char c = text_[pos_++];
      if (c == '}') return true;
      if (c != ',') return fail("expected ',' or '}'");
    }
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  std::string error_;
};

}  // namespace

const JsonValue& JsonValue::operator[](std::string_view key) const {
  if (type != Type::Object) {
    ADD_FAILURE() << "JSON value is not an object (looking up '" << key << "')";
    return null_value();
  }
  auto it = members.find(key);
  if (it == members.end()) {
    ADD_FAILURE() << "JSON object has no member '" << key << "'";
    return null_value();
  }
  return it->second;
}

const JsonValue& JsonValue::operator[](std::size_t index) const {
  if (type != Type::Array || index >= items.size()) {
    ADD_FAILURE() << "JSON array index " << index << " out of range";
    return null_value();
  }
  return items[index];
}

std::uint64_t JsonValue::as_u64() const {
  std::uint64_t value = 0;
  if (type != Type::Number && type != Type::String) {
    ADD_FAILURE() << "JSON value is not a number";
    return 0;
  }
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) {
    ADD_FAILURE() << "not an unsigned 64-bit decimal: " << text;
  }
  return value;
}

std::uint64_t JsonValue::as_hex_u64() const {
  std::uint64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (type != Type::String || ec != std::errc() || end != text.data() + text.size()) {
    ADD_FAILURE() << "not a 64-bit hex string: " << text;
  }
  return value;
}

const std::string& JsonValue::as_string() const {
  if (type != Type::String) ADD_FAILURE() << "JSON value is not a string";
  return text;
}

std::optional<JsonValue> parse_json(std::string_view text, std::string* error) {
  return Reader(text).document(error);
}

JsonValue load_test_json(std::string_view file_name) {
  std::string path = std::string(KAVELO_TEST_DATA_DIR) + "/" + std::string(file_name);
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    ADD_FAILURE() << "cannot open " << path;
    return {};
  }
  std::stringstream buffer;
  buffer << in.rdbuf();
  std::string error;
  auto parsed = parse_json(buffer.str(), &error);
  if (!parsed) {
    ADD_FAILURE() << path << ": " << error;
    return {};
  }
  return std::move(*parsed);
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
