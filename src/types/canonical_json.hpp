// The canonical text of result records: compact JSON, measured for the output_bytes
// charge and never handed out. The length functions compute the exact byte count
// without building the text; the writers build it (tests prove the two agree).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "text/decimal_text.hpp"
#include "types/dice_result.hpp"

namespace kavelo {

// Byte length of `text` as a JSON string, quotes included.
[[nodiscard]] std::uint64_t json_string_length(std::string_view text) noexcept;

[[nodiscard]] std::uint64_t canonical_length(const DiceResult& result) noexcept;
[[nodiscard]] std::uint64_t canonical_length(std::span<const DiceResult> results) noexcept;
[[nodiscard]] std::uint64_t canonical_length(const ProgramResult& result) noexcept;

// canonical_length of the records the evaluator makes, without reading their expression
// and details texts: the evaluator writes into those only digits, "-", letters,
// spaces, brackets, operators, "=", ",", ":" and "详情", none of which a JSON string
// escapes, so each text costs its size and its two quotes. The comment is measured.
[[nodiscard]] std::uint64_t evaluated_length(const DiceResult& result) noexcept;
[[nodiscard]] std::uint64_t evaluated_length(const ProgramResult& result) noexcept;
// evaluated_length of a record without a comment whose rolls take `rolls_length` bytes.
[[nodiscard]] std::uint64_t evaluated_length(std::string_view expression, std::int64_t total,
                                             std::uint64_t rolls_length,
                                             std::string_view details) noexcept;
// The bytes of rolls whose every group holds one value: "[[6],[5],[3]]".
[[nodiscard]] std::uint64_t singleton_rolls_length(std::span<const std::int64_t> values) noexcept;

void append_canonical(std::string& out, std::int64_t value);
void append_canonical(std::string& out, const DiceResult& result);
void append_canonical(std::string& out, std::span<const DiceResult> results);
void append_canonical(std::string& out, const ProgramResult& result);

// Number of result items a record carries: 1 plus its rolled values (saturating).
[[nodiscard]] std::uint64_t item_count(const DiceResult& result) noexcept;

}  // namespace kavelo
