// The writers of the detail text: a buffered sink for short pieces, the symbol of an
// operator, and the roll groups as "[[6], [5], [3]]". They run over every value of a roll, so they
// stay local to the file that includes them (an unnamed namespace): the evaluator calls each once,
// and g++ inlines such a call, with the string's resize_and_overwrite that it makes, only when the
// function and its lambda have internal linkage; as plain inline functions they would stay
// out-of-line calls.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "text/decimal_text.hpp"
#include "types/expression.hpp"
#include "types/roll_groups.hpp"

namespace kavelo {

namespace {

// Formats into a stack buffer and hands the text to the string in large pieces, so a
// short text reaches its string in one append (one allocation at most) instead of
// growing it piece by piece.
class TextSink {
 public:
  explicit TextSink(std::string& out) noexcept : out_(out) {}
  TextSink(const TextSink&) = delete;
  TextSink& operator=(const TextSink&) = delete;
  ~TextSink() { flush(); }

  void put_char(char c) {
    make_room(1);
    *end_++ = c;
  }
  void put_text(std::string_view text) {
    if (text.size() > kSize / 2) {
      flush();
      out_.append(text);
      return;
    }
    make_room(text.size());
    std::memcpy(end_, text.data(), text.size());
    end_ += text.size();
  }
  void put_number(std::int64_t value) {
    make_room(kDecimalRoom<std::int64_t>);
    end_ = write_decimal(end_, value);
  }
  void flush() {
    out_.append(buffer_, static_cast<std::size_t>(end_ - buffer_));
    end_ = buffer_;
  }

 private:
  static constexpr std::size_t kSize = 256;

  void make_room(std::size_t n) {
    if (static_cast<std::size_t>(buffer_ + kSize - end_) < n) flush();
  }

  std::string& out_;
  char buffer_[kSize];
  char* end_ = buffer_;
};

[[maybe_unused]] std::string_view operator_symbol(ExprKind kind) {
  switch (kind) {
    case ExprKind::Add: return "+";
    case ExprKind::Subtract: return "-";
    case ExprKind::Multiply: return "*";
    case ExprKind::Divide: return "/";
    default: return "^";
  }
}

// Writes groups of one value each as "[[6], [5], [3]]" at `p`, which has room for two
// brackets and, a value, its digits and four bytes, and eight bytes from where any
// one-digit value starts; returns the end of the text. The common shape: rolls without
// explosions, and every roll after a pool modifier.
[[maybe_unused]] char* singleton_groups_text(char* p,
                                             std::span<const std::int64_t> values) noexcept {
  *p++ = '[';
  if (values.empty()) {
    *p++ = ']';
    return p;
  }
  // Every value as "[v], "; the last ", " is then taken back. A single digit, the
  // common face, goes in one eight-byte store of the five bytes and three more, which
  // the next value overwrites.
  for (const std::int64_t value : values) {
    if constexpr (std::endian::native == std::endian::little) {
      if (static_cast<std::uint64_t>(value) < 10) {
        const std::uint64_t five = 0x202C5D005BULL | (static_cast<std::uint64_t>(value) + '0') << 8;
        std::memcpy(p, &five, sizeof five);
        p += 5;
        continue;
      }
    }
    *p++ = '[';
    p = write_decimal(p, value);
    std::memcpy(p, "], ", 3);
    p += 3;
  }
  p -= 2;
  *p++ = ']';
  return p;
}

// Appends the groups as "[[6], [5], [3]]". Written straight into the string, sized once
// for the longest possible text: this runs over every value of a roll.
[[maybe_unused]] void append_groups_text(std::string& out, const RollGroups& groups) {
  // Per value its digits and ", "; per group "[" and "]"; the outer brackets.
  const std::size_t bound =
      2 + groups.value_count() * (kDecimalRoom<std::int64_t> + 2) + groups.group_count() * 2;
  const std::size_t start = out.size();
  out.resize_and_overwrite(start + bound, [&](char* text, std::size_t) {
    char* p = text + start;
    const std::span<const std::int64_t> values = groups.values();
    if (groups.all_singletons()) {
      return static_cast<std::size_t>(singleton_groups_text(p, values) - text);
    }
    *p++ = '[';
    for (std::size_t g = 0; g < groups.group_count(); ++g) {
      if (g > 0) {
        *p++ = ',';
        *p++ = ' ';
      }
      *p++ = '[';
      const std::size_t end = groups.group_end(g);
      for (std::size_t i = groups.group_begin(g); i < end; ++i) {
        if (i > groups.group_begin(g)) {
          *p++ = ',';
          *p++ = ' ';
        }
        p = write_decimal(p, values[i]);
      }
      *p++ = ']';
    }
    *p++ = ']';
    return static_cast<std::size_t>(p - text);
  });
}

}  // namespace

}  // namespace kavelo
