// The values of dice terms, grouped per die: one flat vector of values plus the end
// offset of every group, so rolling never allocates per die.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kavelo {

class RollGroups {
 public:
  RollGroups() = default;

  // Every value of every group, group by group.
  [[nodiscard]] std::span<const std::int64_t> values() const noexcept { return values_; }
  [[nodiscard]] std::size_t value_count() const noexcept { return values_.size(); }
  [[nodiscard]] std::size_t group_count() const noexcept {
    return ends_.empty() ? values_.size() : ends_.size();
  }
  [[nodiscard]] bool empty() const noexcept { return values_.empty(); }
  // True while every group holds exactly one value (no group boundaries stored).
  [[nodiscard]] bool all_singletons() const noexcept { return ends_.empty(); }

  [[nodiscard]] std::size_t group_begin(std::size_t group) const noexcept {
    return ends_.empty() ? group : (group == 0 ? 0 : ends_[group - 1]);
  }
  [[nodiscard]] std::size_t group_end(std::size_t group) const noexcept {
    return ends_.empty() ? group + 1 : ends_[group];
  }
  [[nodiscard]] std::span<const std::int64_t> group(std::size_t index) const noexcept {
    std::size_t begin = group_begin(index);
    return std::span<const std::int64_t>(values_).subspan(begin, group_end(index) - begin);
  }

  // Appends a group of one value.
  void push_single(std::int64_t value);
  // Appends a group; `group` must not be empty.
  void push_group(std::span<const std::int64_t> group);
  // Ends the group made of the values appended since offset `begin`, which must be the
  // end of the previous group (the per-die phase builds each group in place at the back
  // of the value vector). Group ends are stored only once some group has several values.
  void close_group(std::size_t begin);
  // Appends every group of `other` after this one's.
  void append(const RollGroups& other);
  // Replaces everything by one group per value, in the given order.
  void assign_singletons(std::vector<std::int64_t>&& values);
  void assign_singletons(std::span<const std::int64_t> values);

  void reserve_values(std::size_t n) { values_.reserve(n); }
  void clear() noexcept {
    values_.clear();
    ends_.clear();
  }
  // Takes the flat value vector out (pool phase), leaving this empty.
  [[nodiscard]] std::vector<std::int64_t> take_values() noexcept;
  // Mutable access for the per-die phase of the roller.
  [[nodiscard]] std::vector<std::int64_t>& mutable_values() noexcept { return values_; }
  [[nodiscard]] std::vector<std::uint32_t>& mutable_ends() noexcept { return ends_; }

  friend bool operator==(const RollGroups& a, const RollGroups& b);

 private:
  void materialize_ends();

  std::vector<std::int64_t> values_;
  // Empty while every group is a single value; otherwise one end offset per group.
  std::vector<std::uint32_t> ends_;
};

}  // namespace kavelo
