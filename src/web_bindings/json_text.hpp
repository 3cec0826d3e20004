// JSON text for the browser module: the result dictionaries of the Python module written
// as JSON (the same keys, in the same order, with the same values), read back by
// kavelo.mjs with JSON.parse.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "types/dice_result.hpp"
#include "types/roll_groups.hpp"

namespace kavelo::web {

// A JSON text being written. JavaScript numbers hold integers exactly only up to 2^53 - 1;
// the writer notes whether it wrote a larger one, so that the reader knows to read those
// as BigInt.
class JsonText {
 public:
  void clear() noexcept {
    text_.clear();
    wide_integers_ = false;
  }
  [[nodiscard]] const std::string& text() const noexcept { return text_; }
  [[nodiscard]] bool wide_integers() const noexcept { return wide_integers_; }

  void raw(std::string_view piece) { text_ += piece; }
  void raw(char c) { text_.push_back(c); }
  // A JSON string: quotes, `\"`, `\\`, the short escapes and `\u00xx` for the other
  // control characters; every other byte as it is (the texts are UTF-8).
  void string(std::string_view value);
  void integer(std::int64_t value);
  void unsigned_integer(std::uint64_t value);
  // [[v, ...], ...]: one list per group.
  void groups(const RollGroups& groups);

 private:
  std::string text_;
  bool wide_integers_ = false;
};

// {"expression", "total", "rolls", "details", "comment"}: roll_dice's dictionary, whose
// comment is "" when the text has none.
void write_result(JsonText& out, const DiceResult& result);
// {"results": [...], "comment": ...}: run_program's dictionary.
void write_program(JsonText& out, const ProgramResult& result);

}  // namespace kavelo::web
