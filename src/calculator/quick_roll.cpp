// The quick path of a request (see quick_roll.hpp). Its parser takes a subset of what
// the direct parser takes, into the same tree: whitespace where the grammar allows it,
// numbers of at most nine digits without sign or leading zero, rolls "count d sides"
// with at most one "kh" or "kl" written next to its number. It gives up, with nothing
// drawn, at anything else. The evaluation draws, charges and writes what the general
// path draws, charges and writes for that tree, in the same order.
#include "calculator/quick_roll.hpp"

#include <algorithm>
#include <functional>

#include "calculator/checked_arithmetic.hpp"
#include "calculator/detail_text.hpp"
#include "parser/kavelo/grammar.hpp"
#include "random/request_random.hpp"
#include "resource/execution_budget.hpp"
#include "types/canonical_json.hpp"
#include "types/modifier_table.hpp"

namespace kavelo {

namespace {

using grammar::is_digit;
using grammar::is_whitespace;

// The most digits a number of the quick shape has: any such number fits 32 bits.
constexpr int kMaxDigits = 9;

const char* skip_whitespace(const char* at, const char* end) noexcept {
  while (at < end && is_whitespace(*at)) ++at;
  return at;
}

// A number of one to nine digits, "0" alone or without a leading zero.
bool small_number(const char*& at, const char* end, std::int32_t& out) noexcept {
  if (at == end || !is_digit(*at)) return false;
  std::int32_t value = 0;
  int digits = 0;
  const char* p = at;
  while (p < end && is_digit(*p)) {
    if (++digits > kMaxDigits) return false;
    value = value * 10 + (*p - '0');
    ++p;
  }
  if (*at == '0' && digits > 1) return false;
  at = p;
  out = value;
  return true;
}

// True when a modifier could start at `at` (after whitespace): the roll's modifiers go on.
bool modifier_follows(const char* at, const char* end) noexcept {
  at = skip_whitespace(at, end);
  return at < end && modifiers_starting_with(*at).count != 0;
}

bool binary_operator(char c, ExprKind& kind) noexcept {
  switch (c) {
    case '+': kind = ExprKind::Add; return true;
    case '-': kind = ExprKind::Subtract; return true;
    case '*': kind = ExprKind::Multiply; return true;
    case '/': kind = ExprKind::Divide; return true;
    case '^': kind = ExprKind::Power; return true;
    default: return false;
  }
}

Result<std::int64_t> combine(ExprKind kind, std::int64_t left, std::int64_t right) {
  switch (kind) {
    case ExprKind::Add: return checked_add(left, right, "addition");
    case ExprKind::Subtract: return checked_subtract(left, right);
    case ExprKind::Multiply: return checked_multiply(left, right, "multiplication");
    case ExprKind::Divide: return checked_divide(left, right);
    default: return checked_power(left, right);
  }
}

// The values a keep of `n` leaves of `count` dice.
std::uint64_t kept_of(std::uint64_t count, std::int32_t n) noexcept {
  return std::min(count, static_cast<std::uint64_t>(static_cast<std::int64_t>(n)));
}

// Sorts a roll's values: the few dice of most keeps by insertion, in place and without
// the set-up of a general sort; more by std::sort.
template <class Before>
void sort_values(std::int64_t* first, std::int64_t* last, Before before) noexcept {
  constexpr std::ptrdiff_t kFew = 16;
  if (last - first > kFew) {
    std::sort(first, last, before);
    return;
  }
  for (std::int64_t* next = first + 1; next < last; ++next) {
    const std::int64_t value = *next;
    std::int64_t* at = next;
    for (; at > first && before(value, at[-1]); --at) *at = at[-1];
    *at = value;
  }
}

int fill_replayed_key(void* context, std::uint8_t* out, std::size_t len) {
  const auto* key = static_cast<const std::array<std::uint8_t, 32>*>(context);
  if (len != key->size()) return -1;
  std::copy(key->begin(), key->end(), out);
  return 0;
}

}  // namespace

EntropySource replayed_entropy(const std::array<std::uint8_t, 32>& key) noexcept {
  return EntropySource{&fill_replayed_key,
                       const_cast<void*>(static_cast<const void*>(&key))};  // read only
}

bool QuickRoll::term(const char*& at, const char* end, Term& out) const noexcept {
  std::int32_t first = 0;
  if (!small_number(at, end, first)) return false;
  const char* after_number = at;
  const char* p = skip_whitespace(at, end);
  if (p == end || *p != 'd') {
    at = after_number;
    out = Term{first, 0, 0, 0, ModifierKind::KeepHigh, false, false};
    return true;
  }
  p = skip_whitespace(p + 1, end);
  std::int32_t sides = 0;
  if (!small_number(p, end, sides) || first < 1 || sides < 1) return false;
  out = Term{0, first, sides, 0, ModifierKind::KeepHigh, true, false};
  if (modifier_follows(p, end)) {
    // Only "kh" or "kl" with its number right after: a "k" alone, whitespace, a sign or
    // any other modifier goes to the general path.
    p = skip_whitespace(p, end);
    if (end - p < 3 || p[0] != 'k' || (p[1] != 'h' && p[1] != 'l')) return false;
    const ModifierKind kind = p[1] == 'h' ? ModifierKind::KeepHigh : ModifierKind::KeepLow;
    p += 2;
    std::int32_t n = 0;
    if (!small_number(p, end, n) || modifier_follows(p, end)) return false;
    out.keep_kind = kind;
    out.keep_value = n;
    out.has_keep = true;
  }
  at = p;
  return true;
}

bool QuickRoll::parse(std::string_view text) noexcept {
  const char* at = text.data();
  const char* const end = at + text.size();
  term_count_ = 0;
  for (;;) {
    at = skip_whitespace(at, end);
    if (!term(at, end, terms_[term_count_])) return false;
    ++term_count_;
    at = skip_whitespace(at, end);
    if (at == end) return true;
    // An operator asks for one more term, for which there must be room.
    if (term_count_ == kMaxTerms || !binary_operator(*at, operators_[term_count_])) return false;
    ++at;
  }
}

bool QuickRoll::within_limits(const ResourcePolicy& policy, std::size_t text_size) {
  const auto limit = [&](Resource r) { return policy.limit(r); };
  const std::uint64_t terms = term_count_;
  std::uint64_t modifiers = 0;
  std::uint64_t dice = 0;
  std::uint64_t passes = 0;
  std::uint64_t kept = 0;
  for (std::size_t i = 0; i < term_count_; ++i) {
    const Term& t = terms_[i];
    if (!t.dice) continue;
    const auto count = static_cast<std::uint64_t>(t.count);
    if (count > limit(Resource::SourceItems) || count > limit(Resource::CollectionItems)) {
      return false;
    }
    dice += count;
    modifiers += t.has_keep ? 1 : 0;
    passes += t.has_keep ? count : 0;
    kept += t.has_keep ? kept_of(count, t.keep_value) : count;
  }
  // The parser's counts: the program node, the tree's nodes and modifiers, the
  // instruction; then the request, one unit a node, one a die, one a value a pass.
  const std::uint64_t nodes = 2 * terms - 1;
  dice_ = dice;
  return text_size <= limit(Resource::SourceBytes) && limit(Resource::ParsedInstructions) >= 1 &&
         2 + nodes + modifiers <= limit(Resource::AstNodes) &&
         limit(Resource::ExecutedInstructions) >= 1 && terms <= limit(Resource::NestingDepth) &&
         1 + nodes + dice + passes <= limit(Resource::WorkUnits) &&
         dice <= limit(Resource::GeneratedValues) && dice <= limit(Resource::RngWords) &&
         kept + 1 <= limit(Resource::OutputItems) &&
         (trace_ == nullptr || dice <= limit(Resource::TraceNodes));
}

bool QuickRoll::roll(const ResourcePolicy& policy) {
  RequestRandom random(key_);
  ExecutionBudget budget(policy);
  value_count_ = 0;
  if (dice_ > kInlineValues) {
    // Written by the draws before anything reads them.
    heap_values_ = std::make_unique_for_overwrite<std::int64_t[]>(dice_);
    values_ = heap_values_.get();
  }
  if (trace_ != nullptr) trace_->reserve(dice_, term_count_);
  for (std::size_t i = 0; i < term_count_; ++i) {
    Term& t = terms_[i];
    if (!t.dice) continue;
    const auto count = static_cast<std::size_t>(t.count);
    std::int64_t* const first = values_ + value_count_;
    random.expect_words(count);
    // The unsigned draws go into the signed values, as the roller's do.
    const std::size_t filled =
        random.fill_uniform_below(static_cast<std::uint32_t>(t.sides),
                                  reinterpret_cast<std::uint64_t*>(first), count, budget);
    if (filled < count) return false;
    std::int64_t* last = first + count;
    // No sum of one roll can overflow: fewer than 2^31 faces below 2^30 each.
    std::int64_t sum = 0;
    for (std::int64_t* v = first; v < last; ++v) sum += ++*v;
    if (trace_ != nullptr) [[unlikely]] {
      record_term(t, first, count);
      last = first + (t.has_keep ? kept_of(count, t.keep_value) : count);
      sum = 0;
      for (const std::int64_t* v = first; v < last; ++v) sum += *v;
    } else if (t.has_keep) {
      // Equal values cannot be told apart, so a full sort keeps what a partial one keeps.
      if (t.keep_kind == ModifierKind::KeepHigh) {
        sort_values(first, last, std::greater<>());
      } else {
        sort_values(first, last, std::less<>());
      }
      last = first + kept_of(count, t.keep_value);
      sum = 0;
      for (const std::int64_t* v = first; v < last; ++v) sum += *v;
    }
    t.value = sum;
    value_count_ += static_cast<std::size_t>(last - first);
  }
  std::int64_t total = terms_[0].value;
  for (std::size_t i = 1; i < term_count_; ++i) {
    last_left_ = total;
    const auto combined = combine(operators_[i], total, terms_[i].value);
    if (!combined) return false;
    total = *combined;
  }
  total_ = total;
  return true;
}

void QuickRoll::record_term(const Term& t, std::int64_t* first, std::size_t count) {
  RollTrace& trace = *trace_;
  const std::size_t first_face = trace.faces().size();
  const std::size_t first_derived = trace.derived().size();
  const DiceModifier keep{t.keep_kind, t.keep_value};
  trace.terms_.push_back(TracedTerm{
      t.count, t.sides, {}, first_face, first_face + count, first_derived, first_derived, {}});
  TracedTerm& term = trace.terms_.back();
  for (std::size_t i = 0; i < count; ++i) {
    (void)trace.add_face(static_cast<std::uint32_t>(first[i]), FaceOrigin::Roll, i);
  }
  std::size_t kept = count;
  if (t.has_keep) {
    term.modifiers.push_back(keep);
    // The traced keep orders equal values by their node, keeping the later dice of kh
    // and the earlier of kl: here each value is packed above its die's index (values
    // below 2^30, fewer than 2^31 dice), sorted, then unpacked.
    for (std::size_t i = 0; i < count; ++i)
      first[i] = (first[i] << 32) | static_cast<std::int64_t>(i);
    if (t.keep_kind == ModifierKind::KeepHigh) {
      sort_values(first, first + count, std::greater<>());
    } else {
      sort_values(first, first + count, std::less<>());
    }
    kept = kept_of(count, t.keep_value);
    for (std::size_t i = 0; i < count; ++i) {
      const auto die = static_cast<std::size_t>(first[i] & 0xFFFF'FFFF);
      if (i >= kept) {
        trace.set_fate(static_cast<TraceNode>(first_face + die), FaceFate::Dropped, keep);
      }
      first[i] >>= 32;
    }
  }
  term.values.assign_singletons(std::span<const std::int64_t>(first, kept));
}

void QuickRoll::write_texts() noexcept {
  // The expression: "((t1) op (t2)) op (t3)", a roll as "count d sides".
  static_assert(kExpressionRoom >= kMaxTerms * (2 * (kMaxDigits + 1) + 8));
  char* e = expression_;
  const auto put_term = [&](const Term& t) {
    if (!t.dice) {
      e = write_decimal(e, t.value);
      return;
    }
    e = write_decimal(e, t.count);
    *e++ = 'd';
    e = write_decimal(e, t.sides);
  };
  for (std::size_t i = 1; i < term_count_; ++i) *e++ = '(';
  put_term(terms_[0]);
  for (std::size_t i = 1; i < term_count_; ++i) {
    *e++ = ')';
    *e++ = ' ';
    const std::string_view symbol = operator_symbol(operators_[i]);
    e = std::copy(symbol.begin(), symbol.end(), e);
    *e++ = ' ';
    *e++ = '(';
    put_term(terms_[i]);
    *e++ = ')';
  }
  expression_size_ = static_cast<std::size_t>(e - expression_);

  // The details of the root: a number itself, a roll with its groups, an operator with
  // its operands' totals.
  constexpr std::string_view kGroups = " (详情: ";
  constexpr std::size_t kHead = 3 * kDecimalRoom<std::int64_t> + 8 + kGroups.size() + 1;
  // A single roll's groups: every face is at most its sides, a number of at most nine
  // digits, in "[v]" and ", ", and three bytes of spare room.
  const std::size_t room =
      kHead + (term_count_ == 1 && terms_[0].dice ? 2 + value_count_ * (kMaxDigits + 4) + 3 : 0);
  if (room > kDetailsRoom) {
    heap_details_ = std::make_unique_for_overwrite<char[]>(room);
    details_ = heap_details_.get();
  }
  char* d = details_;
  const Term& root = terms_[0];
  groups_size_ = 0;
  if (term_count_ > 1) {
    d = write_decimal(d, last_left_);
    *d++ = ' ';
    const std::string_view symbol = operator_symbol(operators_[term_count_ - 1]);
    d = std::copy(symbol.begin(), symbol.end(), d);
    *d++ = ' ';
    d = write_decimal(d, terms_[term_count_ - 1].value);
    d = std::copy_n(" = ", 3, d);
    d = write_decimal(d, total_);
  } else if (!root.dice) {
    d = write_decimal(d, root.value);
  } else {
    d = write_decimal(d, root.count);
    *d++ = 'd';
    d = write_decimal(d, root.sides);
    if (root.has_keep) {
      const std::string_view form = modifier_spec(root.keep_kind).text;
      d = std::copy(form.begin(), form.end(), d);
      d = write_decimal(d, root.keep_value);
    }
    d = std::copy_n(" = ", 3, d);
    d = write_decimal(d, total_);
    d = std::copy(kGroups.begin(), kGroups.end(), d);
    char* const groups = d;
    d = singleton_groups_text(d, values());
    groups_size_ = static_cast<std::size_t>(d - groups);
    *d++ = ')';
  }
  details_size_ = static_cast<std::size_t>(d - details_);
}

std::uint64_t QuickRoll::output_length() const noexcept {
  // The details of a single roll hold its groups as "[[6], [5]]": the rolls' compact
  // text "[[6],[5]]" is that without the space after each comma.
  const std::uint64_t rolls = groups_size_ != 0
                                  ? groups_size_ - (value_count_ > 0 ? value_count_ - 1 : 0)
                                  : singleton_rolls_length(values());
  return evaluated_length(expression(), total_, rolls, details());
}

QuickRoll::Outcome QuickRoll::run(std::string_view text, const ResourcePolicy& policy,
                                  EntropySource entropy, RollTrace* trace) {
  trace_ = trace;
  if (!parse(text) || !within_limits(policy, text.size())) return Outcome::NotTaken;
  // An entropy failure is the general path's to report, from its own attempt.
  if (!RequestRandom::fill_key(entropy, key_)) return Outcome::NotTaken;
  if (!roll(policy)) return Outcome::Replay;
  write_texts();
  return output_length() <= policy.limit(Resource::OutputBytes) ? Outcome::Done : Outcome::Replay;
}

}  // namespace kavelo
