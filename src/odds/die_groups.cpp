// One die's group distribution, built the way the roller builds one group: the first
// face, then the explosions while the last face shows the sides, then the rerolls in
// written order. Groups equal in every value are merged after every step, so a reroll
// that replaces a whole group collapses everything it touched into `sides` new groups.
#include "odds/die_groups.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <numeric>
#include <string>

#include "calculator/checked_sum.hpp"
#include "errors/dice_error.hpp"

namespace kavelo::odds {

namespace {

// Marks the place of the value a reroll-once replaces while contexts are merged; no
// value of a group is ever this small.
constexpr std::int64_t kHole = INT64_MIN;
// Work of one group written into a table, and of one comparison of the merge's sort, in
// multiply-adds: what they cost in time, measured.
constexpr std::uint64_t kGroupWork = 16;
constexpr std::uint64_t kCompareWork = 8;

// Merges groups that hold the same values in the same order.
OddsResult<GroupTable> merged(GroupTable&& table, Meter& meter) {
  const std::size_t n = table.size();
  std::vector<std::uint32_t> order(n);
  std::iota(order.begin(), order.end(), 0u);
  KAVELO_ODDS_TRY(
      meter.work(static_cast<std::uint64_t>(n) * (std::bit_width(n) + 1) * kCompareWork +
                 table.values.size()));
  std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    const auto x = table.group(a);
    const auto y = table.group(b);
    return std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end());
  });
  GroupTable out;
  out.truncated = table.truncated;
  out.values.reserve(table.values.size());
  out.ends.reserve(n);
  out.probs.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const auto group = table.group(order[i]);
    if (!out.probs.empty() && std::ranges::equal(out.group(out.size() - 1), group)) {
      out.probs.back() += table.probs[order[i]];
    } else {
      out.push(group, table.probs[order[i]]);
    }
  }
  KAVELO_ODDS_TRY(out.hold.set(meter, out.values.size() + 2 * out.size()));
  return out;
}

OddsStatus check_size(const GroupTable& table, std::uint64_t more, Meter& meter) {
  return meter.outcomes(table.size() + more, "one die's groups");
}

bool any_at_most(std::span<const std::int64_t> group, std::int64_t threshold) {
  return std::ranges::any_of(group, [&](std::int64_t v) { return v <= threshold; });
}

// The groups a reroll makes of the groups it matched: `contexts` hold, per distinct
// context, the group with kHole where the new face goes (or, for reroll-and-add, the
// sum to add the face to) and its mass.
OddsStatus add_new_faces(GroupTable& out, GroupTable& contexts, std::uint32_t first,
                         std::uint32_t last, Meter& meter) {
  const std::uint64_t faces = last - first + 1;
  KAVELO_ODDS_TRY(check_size(out, contexts.size() * faces, meter));
  KAVELO_ODDS_TRY(meter.work(
      contexts.size() * faces *
      (kGroupWork + contexts.values.size() / std::max<std::size_t>(contexts.size(), 1))));
  std::vector<std::int64_t> scratch;
  for (std::size_t c = 0; c < contexts.size(); ++c) {
    const auto context = contexts.group(c);
    const double p = contexts.probs[c] / static_cast<double>(faces);
    scratch.assign(context.begin(), context.end());
    const auto hole = std::ranges::find(scratch, kHole) - scratch.begin();
    for (std::uint64_t face = first; face <= last; ++face) {
      scratch[static_cast<std::size_t>(hole)] = static_cast<std::int64_t>(face);
      out.push(scratch, p);
    }
  }
  return {};
}

// The groups of one die before any reroll: its faces, or with an explosion the runs of
// faces showing the sides that end in a face below them, cut where their chance falls
// within the tolerance (the rest is the table's truncated mass).
OddsResult<GroupTable> first_groups(std::uint32_t sides, bool explode, double tolerance,
                                    std::string_view term, Meter& meter) {
  GroupTable table;
  const auto s = static_cast<std::int64_t>(sides);
  if (explode) {
    if (sides == 1)
      return std::unexpected(
          OddsError{DiceError::odds_explodes_forever(std::string(term)).display()});
    // Groups of k faces showing the sides and one last face below them, for every k
    // below the first K whose chance (1/sides)^K is within the tolerance. q is at most
    // 1/2, so the chance reaches 0 within 1075 factors whatever the tolerance (a NaN or
    // negative one from a caller that skipped check_limits included), and each is charged.
    const double q = 1.0 / static_cast<double>(sides);
    std::uint64_t runs = 1;
    double beyond = q;
    while (beyond > tolerance && beyond > 0.0) {
      KAVELO_ODDS_TRY(meter.work(1));
      beyond *= q;
      ++runs;
    }
    const std::uint64_t groups = runs * (sides - 1);
    KAVELO_ODDS_TRY(meter.outcomes(groups, "one die's groups"));
    KAVELO_ODDS_TRY(meter.work(groups * (runs + 1) / 2 + groups * kGroupWork));
    table.values.reserve(static_cast<std::size_t>(groups * (runs + 1) / 2));
    std::vector<std::int64_t> group;
    double run = 1.0;  // (1/sides)^k
    for (std::uint64_t k = 0; k < runs; ++k) {
      group.assign(static_cast<std::size_t>(k + 1), s);
      for (std::int64_t face = 1; face < s; ++face) {
        group.back() = face;
        table.push(group, run * q);
      }
      run *= q;
    }
    table.truncated = run;
  } else {
    KAVELO_ODDS_TRY(meter.outcomes(sides, "one die's faces"));
    KAVELO_ODDS_TRY(meter.work(sides));
    const double p = 1.0 / static_cast<double>(sides);
    for (std::int64_t face = 1; face <= s; ++face) {
      const std::int64_t one[1] = {face};
      table.push(one, p);
    }
  }
  KAVELO_ODDS_TRY(table.hold.set(meter, table.values.size() + 2 * table.size()));
  return table;
}

// What one reroll does to the groups it meets: the groups it leaves alone go to `out`;
// the ones it matches either add their mass to `matched` (a reroll replacing the whole
// group) or leave a context in `contexts` (the group with kHole where the new face goes,
// or for reroll-and-add the sum and its place).
OddsStatus split_matched(const GroupTable& table, const DiceModifier& modifier, GroupTable& out,
                         GroupTable& contexts, double& matched) {
  const std::int64_t threshold = modifier.value;
  for (std::size_t i = 0; i < table.size(); ++i) {
    const auto group = table.group(i);
    const double p = table.probs[i];
    switch (modifier.kind) {
      case ModifierKind::Reroll:
      case ModifierKind::RerollUntil: {
        const bool hit = modifier.kind == ModifierKind::Reroll ? any_at_most(group, threshold)
                                                               : group.back() <= threshold;
        if (hit) {
          matched += p;
        } else {
          out.push(group, p);
        }
        break;
      }
      case ModifierKind::RerollOnce: {
        const auto at = std::ranges::find_if(group, [&](std::int64_t v) { return v <= threshold; });
        if (at == group.end()) {
          out.push(group, p);
        } else {
          std::vector<std::int64_t> context(group.begin(), group.end());
          context[static_cast<std::size_t>(at - group.begin())] = kHole;
          contexts.push(context, p);
        }
        break;
      }
      case ModifierKind::RerollAdd: {
        if (!any_at_most(group, threshold)) {
          out.push(group, p);
          break;
        }
        auto sum = checked_sum(group, "reroll-and-add aggregation");
        // A group's sum stays far below 2^63: at most a few thousand modifiers each add
        // one face of at most 2^31 - 1.
        if (!sum || *sum > INT64_MAX / 2) {
          return std::unexpected(too_complex("a reroll-and-add sum leaves the 64-bit range"));
        }
        // The new face is added to the sum: the context is the sum with its place.
        const std::int64_t context[2] = {*sum, kHole};
        contexts.push(context, p);
        break;
      }
      default: break;
    }
  }
  return {};
}

// The groups the matched ones become once the die is rolled again, added to `out`.
OddsStatus add_rerolled(const DiceModifier& modifier, std::uint32_t sides, std::string_view term,
                        GroupTable& out, GroupTable&& contexts, double matched, Meter& meter) {
  const std::int64_t threshold = modifier.value;
  const auto s = static_cast<std::int64_t>(sides);
  switch (modifier.kind) {
    case ModifierKind::Reroll:
      if (matched > 0.0) {
        const std::int64_t hole[1] = {kHole};
        contexts.push(hole, matched);
        KAVELO_ODDS_TRY(add_new_faces(out, contexts, 1, sides, meter));
      }
      break;
    case ModifierKind::RerollUntil:
      if (matched > 0.0) {
        if (threshold >= s) {
          return std::unexpected(OddsError{
              DiceError::odds_rerolls_forever(std::string(term), threshold, sides).display()});
        }
        // Rerolled until the face is above the threshold: uniform over the faces above it.
        const std::int64_t hole[1] = {kHole};
        contexts.push(hole, matched);
        KAVELO_ODDS_TRY(
            add_new_faces(out, contexts, static_cast<std::uint32_t>(threshold + 1), sides, meter));
      }
      break;
    case ModifierKind::RerollOnce: {
      auto merged_contexts = merged(std::move(contexts), meter);
      if (!merged_contexts) return std::unexpected(std::move(merged_contexts.error()));
      KAVELO_ODDS_TRY(add_new_faces(out, *merged_contexts, 1, sides, meter));
      break;
    }
    case ModifierKind::RerollAdd: {
      auto merged_contexts = merged(std::move(contexts), meter);
      if (!merged_contexts) return std::unexpected(std::move(merged_contexts.error()));
      // Each context is [sum, hole]: the new group is the single value sum + face.
      const std::uint64_t faces = sides;
      KAVELO_ODDS_TRY(check_size(out, merged_contexts->size() * faces, meter));
      KAVELO_ODDS_TRY(meter.work(merged_contexts->size() * faces * kGroupWork));
      for (std::size_t c = 0; c < merged_contexts->size(); ++c) {
        const std::int64_t sum = merged_contexts->group(c)[0];
        const double p = merged_contexts->probs[c] / static_cast<double>(faces);
        for (std::int64_t face = 1; face <= s; ++face) {
          const std::int64_t one[1] = {sum + face};
          out.push(one, p);
        }
      }
      break;
    }
    default: break;
  }
  return {};
}

// The table after one reroll modifier, its equal groups merged.
OddsResult<GroupTable> rerolled(const GroupTable& table, const DiceModifier& modifier,
                                std::uint32_t sides, std::string_view term, Meter& meter) {
  KAVELO_ODDS_TRY(meter.work(table.values.size() + table.size() * kGroupWork));
  GroupTable out;
  out.truncated = table.truncated;
  GroupTable contexts;
  double matched = 0.0;
  KAVELO_ODDS_TRY(split_matched(table, modifier, out, contexts, matched));
  KAVELO_ODDS_TRY(add_rerolled(modifier, sides, term, out, std::move(contexts), matched, meter));
  KAVELO_ODDS_TRY(check_size(out, 0, meter));
  KAVELO_ODDS_TRY(out.hold.set(meter, out.values.size() + 2 * out.size()));
  return merged(std::move(out), meter);
}

}  // namespace

OddsResult<GroupTable> die_groups(std::uint32_t sides, std::span<const DiceModifier> modifiers,
                                  double tolerance, std::string_view term, Meter& meter) {
  const bool explode =
      std::ranges::any_of(modifiers, [](const DiceModifier& m) { return is_explode(m.kind); });
  auto table = first_groups(sides, explode, tolerance, term, meter);
  if (!table) return table;
  for (const DiceModifier& modifier : modifiers) {
    if (!is_reroll(modifier.kind)) continue;
    auto next = rerolled(*table, modifier, sides, term, meter);
    if (!next) return next;
    *table = std::move(*next);
  }
  return table;
}

}  // namespace kavelo::odds
