#include "web_bindings/trace_json.hpp"

#include <span>
#include <string>
#include <string_view>

#include "calculator/dice_calculator.hpp"

namespace kavelo::web {

namespace {

std::string_view origin_name(FaceOrigin origin) noexcept {
  switch (origin) {
    case FaceOrigin::Roll: return "roll";
    case FaceOrigin::Explode: return "explode";
    case FaceOrigin::Reroll: return "reroll";
  }
  return "roll";
}

std::string_view fate_name(FaceFate fate) noexcept {
  switch (fate) {
    case FaceFate::Kept: return "kept";
    case FaceFate::Dropped: return "dropped";
    case FaceFate::Rerolled: return "rerolled";
    case FaceFate::Duplicate: return "duplicate";
    case FaceFate::Added: return "added";
    case FaceFate::Counted: return "counted";
    case FaceFate::Uncounted: return "uncounted";
  }
  return "kept";
}

// "by" (the deciding modifier, null for a kept value) and "into" (the index within the
// term's derived values of the one the value went into, or null), as the package's
// Trace.to_dict() writes them.
void write_by_and_into(JsonText& out, FaceFate fate, const DiceModifier& cause, std::uint32_t into,
                       std::size_t first_derived) {
  out.raw(R"(,"by":)");
  if (fate == FaceFate::Kept) {
    out.raw("null");
  } else {
    out.string(DiceCalculator::modifiers_to_string({&cause, 1}));
  }
  out.raw(R"(,"into":)");
  if (into == kNoIndex) {
    out.raw("null");
  } else {
    out.unsigned_integer(into - first_derived);
  }
}

void write_face(JsonText& out, const TracedFace& face, std::size_t first_derived) {
  out.raw(R"({"value":)");
  out.unsigned_integer(face.value);
  out.raw(R"(,"die":)");
  out.unsigned_integer(face.die);
  out.raw(R"(,"origin":)");
  out.string(origin_name(face.origin));
  out.raw(R"(,"fate":)");
  out.string(fate_name(face.fate));
  write_by_and_into(out, face.fate, face.cause, face.into, first_derived);
  out.raw('}');
}

void write_derived(JsonText& out, const DerivedValue& value, std::size_t first_derived) {
  out.raw(R"({"value":)");
  out.integer(value.value);
  out.raw(R"(,"kind":)");
  out.string(value.kind == DerivedKind::Sum ? "sum" : "count");
  out.raw(R"(,"made_by":)");
  out.string(DiceCalculator::modifiers_to_string({&value.made_by, 1}));
  out.raw(R"(,"die":)");
  if (value.die == kNoIndex) {
    out.raw("null");
  } else {
    out.unsigned_integer(value.die);
  }
  out.raw(R"(,"fate":)");
  out.string(fate_name(value.fate));
  write_by_and_into(out, value.fate, value.cause, value.into, first_derived);
  out.raw('}');
}

void write_term(JsonText& out, const TracedTerm& term, const RollTrace& trace) {
  const std::span<const TracedFace> faces = trace.faces();
  const std::string modifiers = DiceCalculator::modifiers_to_string(term.modifiers);
  std::string notation = std::to_string(term.count);
  notation += 'd';
  notation += std::to_string(term.sides);
  notation += modifiers;
  out.raw(R"({"notation":)");
  out.string(notation);
  out.raw(R"(,"count":)");
  out.integer(term.count);
  out.raw(R"(,"sides":)");
  out.integer(term.sides);
  out.raw(R"(,"faces":[)");
  for (std::size_t i = term.first_face; i < term.end_face; ++i) {
    if (i > term.first_face) out.raw(',');
    write_face(out, faces[i], term.first_derived);
  }
  out.raw(R"(],"values":)");
  out.groups(term.values);
  out.raw(R"(,"derived":[)");
  for (std::size_t i = term.first_derived; i < term.end_derived; ++i) {
    if (i > term.first_derived) out.raw(',');
    write_derived(out, trace.derived()[i], term.first_derived);
  }
  out.raw("]}");
}

}  // namespace

void write_trace(JsonText& out, const DiceResult& result, const RollTrace& trace) {
  out.raw(R"({"result":)");
  write_result(out, result);
  out.raw(R"(,"terms":[)");
  const std::span<const TracedTerm> terms = trace.terms();
  for (std::size_t t = 0; t < terms.size(); ++t) {
    if (t > 0) out.raw(',');
    write_term(out, terms[t], trace);
  }
  out.raw("]}");
}

}  // namespace kavelo::web
