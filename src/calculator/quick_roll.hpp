// The most common request, evaluated without a syntax tree: a chain of numbers and
// plain rolls (each with at most one "kh" or "kl"), joined by + - * / ^, without
// brackets or comment or instruction separator ("1d20+5", "4d6kh3+2", "100d6"). Up to
// 128 dice it allocates nothing; larger rolls take one buffer for their values and one
// for their details.
//
// For every text it takes, it gives what parsing and evaluating the text gives with the
// same generator key, byte for byte. It takes no text that a limit of the policy could
// refuse before the first die: those, and every other shape, are left to the general
// path with nothing drawn. A request it has drawn a key for but cannot finish (the
// generator's words run out, an operation overflows, the output is too long) is left
// to the general path with that key, so that the general path meets the same faces and
// reports the same error.
//
// Given a RollTrace, it records what DiceCalculator::trace_expression records for the
// text with the same key: every face in draw order, and a keep's dropped faces with
// their fate. It then also leaves to the general path the texts whose faces the
// trace_nodes limit would refuse.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "calculator/roll_trace.hpp"
#include "random/entropy.hpp"
#include "resource/resource_policy.hpp"
#include "types/expression.hpp"

namespace kavelo {

// A source that hands out `key`, which must outlive it: the general path run again with
// the key QuickRoll drew meets the same faces.
[[nodiscard]] EntropySource replayed_entropy(const std::array<std::uint8_t, 32>& key) noexcept;

class QuickRoll {
 public:
  enum class Outcome : std::uint8_t {
    NotTaken,  // not of the shape, or near a limit: nothing drawn; use the general path
    Done,      // the result is in expression(), total(), values() and details()
    Replay,    // a key was drawn: use the general path with replayed_key()
  };

  static constexpr std::size_t kMaxTerms = 12;
  // Values held in the object; more go to the heap.
  static constexpr std::size_t kInlineValues = 128;

  QuickRoll() noexcept {}  // the buffers are written before they are read
  QuickRoll(const QuickRoll&) = delete;
  QuickRoll& operator=(const QuickRoll&) = delete;

  // With a `trace` (empty), records into it; after Replay it holds a part, which the
  // general path clears.
  [[nodiscard]] Outcome run(std::string_view text, const ResourcePolicy& policy,
                            EntropySource entropy, RollTrace* trace = nullptr);

  // The result, after Done. Every group of the rolls holds one value.
  [[nodiscard]] std::string_view expression() const noexcept {
    return {expression_, expression_size_};
  }
  [[nodiscard]] std::int64_t total() const noexcept { return total_; }
  [[nodiscard]] std::span<const std::int64_t> values() const noexcept {
    return {values_, value_count_};
  }
  [[nodiscard]] std::string_view details() const noexcept { return {details_, details_size_}; }
  // The bytes the output_bytes limit counts for the result, after Done or Replay.
  [[nodiscard]] std::uint64_t output_length() const noexcept;

  // The key drawn, after Replay.
  [[nodiscard]] const std::array<std::uint8_t, 32>& replayed_key() const noexcept { return key_; }

 private:
  // Without default values, so that making a QuickRoll writes none of its buffers.
  struct Term {
    std::int64_t value;  // a number: its value; a roll: its total once rolled
    std::int32_t count;  // a roll: count d sides, and its keep modifier if any
    std::int32_t sides;
    std::int32_t keep_value;
    ModifierKind keep_kind;
    bool dice;
    bool has_keep;
  };

  [[nodiscard]] bool parse(std::string_view text) noexcept;
  [[nodiscard]] bool term(const char*& at, const char* end, Term& out) const noexcept;
  [[nodiscard]] bool within_limits(const ResourcePolicy& policy, std::size_t text_size);
  [[nodiscard]] bool roll(const ResourcePolicy& policy);
  void record_term(const Term& t, std::int64_t* first, std::size_t count);
  void write_texts() noexcept;

  static constexpr std::size_t kExpressionRoom = 512;
  static constexpr std::size_t kDetailsRoom = 2048;

  std::array<Term, kMaxTerms> terms_;
  std::array<ExprKind, kMaxTerms> operators_;  // operators_[i] joins terms_[i] to those before
  std::size_t term_count_ = 0;
  std::int64_t inline_values_[kInlineValues];
  std::unique_ptr<std::int64_t[]> heap_values_;
  std::int64_t* values_ = inline_values_;
  std::size_t value_count_ = 0;
  std::uint64_t dice_ = 0;  // the dice of all terms
  std::int64_t total_ = 0;
  std::int64_t last_left_ = 0;  // the root operator's left operand, for the details
  char expression_[kExpressionRoom];
  std::size_t expression_size_ = 0;
  char inline_details_[kDetailsRoom];
  std::unique_ptr<char[]> heap_details_;
  char* details_ = inline_details_;
  std::size_t details_size_ = 0;
  std::size_t groups_size_ = 0;  // the groups text within the details of a single roll
  std::array<std::uint8_t, 32> key_;
  RollTrace* trace_ = nullptr;
};

}  // namespace kavelo
